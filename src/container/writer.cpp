#include "container/writer.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

#include "memory/secret.h"
#include "state/failure.h"

namespace fmt = container_format;

bool container_writer::start(const char *password) {
    if (!derive_key(password, nullptr, km_)) return false;
    return start_cipher();
}

bool container_writer::start_with(const container_key &key) {
    std::memcpy(km_.key.data, key.key.data, sizeof km_.key.data);
    std::memcpy(km_.salt.data, key.salt.data, sizeof km_.salt.data);
    return start_cipher();
}

bool container_writer::add(unsigned char *chunk, std::size_t n, file_replacement &out) {
    return ctr_update(cipher_.get(), chunk, n, chunk) && mac_update(mac_.get(), chunk, n) &&
           out.write(chunk, n);
}

bool container_writer::finish(unsigned char *room, file_replacement &out) {
    if (!ctr_final(cipher_.get())) return false;
    std::memcpy(room + fmt::magic_offset, fmt::magic, fmt::magic_size);
    std::memcpy(room + fmt::iv_offset, iv_, fmt::iv_size);
    std::memcpy(room + fmt::salt_offset, km_.salt.data, fmt::salt_size);
    return mac_update(mac_.get(), room, fmt::mac_covered_trailer) &&
           finish_mac(mac_.get(), room + fmt::mac_offset) && out.write(room, fmt::trailer_size);
}

bool container_writer::start_cipher() {
    if (!read_random_bytes(iv_, sizeof iv_)) {
        say_failure("Initialization vector generation failed.\n");
        return false;
    }
    cipher_ = start_ctr(km_.key.data, iv_, 1);
    if (!cipher_) return false;
    mac_ = start_mac(km_.key.data, sizeof km_.key.data);
    return mac_ != nullptr;
}

std::string shown_name(const std::string &target, const char *suffix) {
    std::string shown = target + suffix;
    ::unlink(shown.c_str());
    return shown;
}

bool write_container(container_writer &writer, const unsigned char *plain, std::size_t size,
                     const char *path, bool create_new) {
    std::string target = create_new ? std::string(path) : replacement_target(path);
    file_replacement out(target, create_new ? target : shown_name(target, ".kesp"));
    if (!out.open()) return false;
    wiped_buffer chunk(std::min(size, crypt_chunk_size) + fmt::trailer_size);
    for (std::size_t done = 0; done < size;) {
        std::size_t n = std::min(crypt_chunk_size, size - done);
        std::memcpy(chunk.data(), plain + done, n);
        if (!writer.add(chunk.data(), n, out)) return false;
        done += n;
    }
    if (!writer.finish(chunk.data(), out)) return false;
    return create_new ? out.commit_new() : out.commit();
}

bool fits_container(std::size_t size, const char *path) {
    if (size <= static_cast<std::size_t>(fmt::max_plain_size)) return true;
    say_failuref("%s would be too large: at most 2147483499 bytes fit a container.\n", path);
    return false;
}
