#include "output/ssh_key.h"

#include <openssl/evp.h>

#include <cstdint>
#include <cstring>

namespace {

constexpr std::string_view key_magic{"openssh-key-v1\0", 15};

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The bytes of the base64 text `text` (white space between the characters
// allowed, padding optional); nothing on any other character.
std::optional<secret_string> decode_base64(std::string_view text) {
    secret_string out;
    out.reserve(text.size() / 4 * 3 + 3);
    std::uint32_t bits = 0;
    int count = 0;
    bool padded = false;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
        if (c == '=') {
            padded = true;
            continue;
        }
        int v = base64_value(c);
        if (v < 0 || padded) return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        if (++count == 4) {
            const char three[3] = {static_cast<char>(bits >> 16), static_cast<char>(bits >> 8),
                                   static_cast<char>(bits)};
            out.append({three, 3});
            bits = 0;
            count = 0;
        }
    }
    if (count == 1) return std::nullopt;
    if (count == 2) out += static_cast<char>(bits >> 4);
    if (count == 3) {
        const char two[2] = {static_cast<char>(bits >> 10), static_cast<char>(bits >> 2)};
        out.append({two, 2});
    }
    bits = 0;
    return out;
}

std::string encode_base64(std::string_view bytes, bool pad) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                            reinterpret_cast<const unsigned char *>(bytes.data()),
                            static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    while (!pad && !out.empty() && out.back() == '=') out.pop_back();
    return out;
}

// The SSH wire format's pieces, read from the front of `in`.
bool take_u32(std::string_view &in, std::uint32_t &value) {
    if (in.size() < 4) return false;
    const auto *p = reinterpret_cast<const unsigned char *>(in.data());
    value = std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
    in.remove_prefix(4);
    return true;
}

bool take_string(std::string_view &in, std::string_view &value) {
    std::uint32_t size = 0;
    if (!take_u32(in, size) || size > in.size()) return false;
    value = in.substr(0, size);
    in.remove_prefix(size);
    return true;
}

std::string type_name(std::string_view algorithm) {
    if (algorithm == "ssh-ed25519") return "ED25519";
    if (algorithm == "ssh-rsa") return "RSA";
    if (algorithm == "ssh-dss") return "DSA";
    if (algorithm.starts_with("ecdsa-sha2-")) return "ECDSA";
    if (algorithm == "sk-ssh-ed25519@openssh.com") return "ED25519-SK";
    if (algorithm.starts_with("sk-ecdsa-sha2-")) return "ECDSA-SK";
    return std::string(algorithm);
}

}  // namespace

std::optional<text_span> find_openssh_key(std::string_view text, std::size_t from) {
    std::size_t start = text.find(openssh_key_begin, from);
    if (start == std::string_view::npos) return std::nullopt;
    std::size_t end = text.find(openssh_key_end, start + openssh_key_begin.size());
    end = end == std::string_view::npos ? text.size() : end + openssh_key_end.size();
    return text_span{start, end - start};
}

std::optional<openssh_public_key> read_openssh_key(std::string_view block) {
    if (!block.starts_with(openssh_key_begin) || !block.ends_with(openssh_key_end))
        return std::nullopt;
    block.remove_prefix(openssh_key_begin.size());
    block.remove_suffix(openssh_key_end.size());
    auto bytes = decode_base64(block);
    if (!bytes) return std::nullopt;
    std::string_view in = bytes->view();
    if (!in.starts_with(key_magic)) return std::nullopt;
    in.remove_prefix(key_magic.size());
    std::string_view cipher, kdf, kdf_options, blob;
    std::uint32_t keys = 0;
    if (!take_string(in, cipher) || !take_string(in, kdf) || !take_string(in, kdf_options) ||
        !take_u32(in, keys) || keys != 1 || !take_string(in, blob))
        return std::nullopt;
    std::string_view inner = blob, algorithm;
    if (!take_string(inner, algorithm) || algorithm.empty()) return std::nullopt;
    for (char c : algorithm)
        if (c <= ' ' || c > '~') return std::nullopt;

    openssh_public_key key;
    key.algorithm = std::string(algorithm);
    key.type = type_name(algorithm);
    key.encrypted = cipher != "none";
    key.blob_base64 = encode_base64(blob, true);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_size = 0;
    if (EVP_Digest(blob.data(), blob.size(), digest, &digest_size, EVP_sha256(), nullptr) != 1)
        return std::nullopt;
    key.fingerprint =
        "SHA256:" + encode_base64({reinterpret_cast<char *>(digest), digest_size}, false);
    return key;
}

bool mask_openssh_keys(std::string_view text, secret_string &out) {
    auto found = find_openssh_key(text);
    if (!found) return false;
    std::size_t done = 0;
    while (found) {
        out += text.substr(done, found->start - done);
        if (auto key = read_openssh_key(text.substr(found->start, found->size))) {
            out += "[OpenSSH private key, ";
            out += key->type;
            out += ", ";
            out += key->fingerprint;
            out += "]";
        } else {
            out += "[OpenSSH private key]";
        }
        done = found->start + found->size;
        found = find_openssh_key(text, done);
    }
    out += text.substr(done);
    return true;
}
