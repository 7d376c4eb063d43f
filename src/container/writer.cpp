#include "container/writer.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

#include "memory/secret.h"

namespace fmt = container_format;

status container_writer::start(const char *password) {
    if (status s = derive_key(password, nullptr, km_); !s) return s;
    return start_cipher();
}

status container_writer::start_with(const container_key &key) {
    std::memcpy(km_.key.data, key.key.data, sizeof km_.key.data);
    std::memcpy(km_.salt.data, key.salt.data, sizeof km_.salt.data);
    return start_cipher();
}

status container_writer::add(unsigned char *chunk, std::size_t n, file_replacement &out) {
    if (!ctr_update(cipher_.get(), chunk, n, chunk)) return failed(fault::cipher_update);
    if (!mac_update(mac_.get(), chunk, n)) return failed(fault::mac);
    return out.write(chunk, n);
}

status container_writer::finish(unsigned char *room, file_replacement &out) {
    if (!ctr_final(cipher_.get())) return failed(fault::cipher_final);
    std::memcpy(room + fmt::magic_offset, fmt::magic, fmt::magic_size);
    std::memcpy(room + fmt::iv_offset, iv_, fmt::iv_size);
    std::memcpy(room + fmt::salt_offset, km_.salt.data, fmt::salt_size);
    if (!mac_update(mac_.get(), room, fmt::mac_covered_trailer) ||
        !finish_mac(mac_.get(), room + fmt::mac_offset))
        return failed(fault::mac);
    return out.write(room, fmt::trailer_size);
}

status container_writer::start_cipher() {
    if (status s = read_random_bytes(iv_, sizeof iv_); !s)
        return followed_by(s, fault::iv_generation);
    cipher_ = start_ctr(km_.key.data, iv_, 1);
    if (!cipher_) return failed(fault::cipher_start);
    mac_ = start_mac(km_.key.data, sizeof km_.key.data);
    return mac_ ? status_ok() : failed(fault::mac);
}

std::string shown_name(const std::string &target, const char *suffix) {
    std::string shown = target + suffix;
    ::unlink(shown.c_str());
    return shown;
}

status write_container(container_writer &writer, const unsigned char *plain, std::size_t size,
                       const char *path, bool create_new) {
    std::string target = create_new ? std::string(path) : replacement_target(path);
    file_replacement out(target, create_new ? target : shown_name(target, ".kesp"));
    if (status s = out.open(); !s) return s;
    wiped_buffer chunk(std::min(size, crypt_chunk_size) + fmt::trailer_size);
    for (std::size_t done = 0; done < size;) {
        std::size_t n = std::min(crypt_chunk_size, size - done);
        std::memcpy(chunk.data(), plain + done, n);
        if (status s = writer.add(chunk.data(), n, out); !s) return s;
        done += n;
    }
    if (status s = writer.finish(chunk.data(), out); !s) return s;
    return create_new ? out.commit_new() : out.commit();
}

status fits_container(std::size_t size, const char *path) {
    if (size <= static_cast<std::size_t>(fmt::max_plain_size)) return status_ok();
    return failed(fault::would_be_too_large, path);
}
