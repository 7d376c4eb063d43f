#include "container/crypt.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>

#include "container/container.h"
#include "container/crypt_internal.h"
#include "container/file_input.h"
#include "container/keys.h"
#include "container/loader.h"
#include "container/writer.h"
#include "state/files.h"
#include "state/replacement.h"
#include "state/test_hooks.h"

namespace fmt = container_format;

status encrypt_file(const char *password, const char *path) {
    const std::optional<bool> magic = container_magic_at(path);
    if (magic.value_or(false)) return failed(fault::already_encrypted, path);
    unique_fd in;
    if (status s = open_input(path, fault::cannot_open_plain, in); !s)
        return magic ? s : followed_by(failed(fault::cannot_detect, path), s.what);
    struct stat before;
    if (status s = checked_size(in.get(), path, fmt::max_plain_size, fault::too_large_to_encrypt,
                                before);
        !s)
        return s;
    ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    container_writer writer;
    if (status s = writer.start(password); !s) return s;
    std::string target = replacement_target(path);
    file_replacement out(target, shown_name(target, ".kesp"));
    if (status s = out.open(); !s) return s;

    // The new file stays unnamed until the end, so a failure part-way
    // leaves nothing.
    const std::size_t plain_size = static_cast<std::size_t>(before.st_size);
    wiped_buffer chunk(std::min(plain_size, crypt_chunk_size) + fmt::trailer_size);
    for (std::size_t done = 0; done < plain_size;) {
        std::size_t n = std::min(crypt_chunk_size, plain_size - done);
        if (status s = read_exactly(in.get(), chunk.data(), n, path, fault::cannot_read,
                                    fault::changed_while_read);
            !s)
            return s;
        if (done == 0) test_stop_point("encrypt-first-chunk-read");
        if (status s = writer.add(chunk.data(), n, out); !s) return s;
        done += n;
    }
    if (status s = unchanged_since(in.get(), path, before); !s) return s;
    if (status s = writer.finish(chunk.data(), out); !s) return s;
    return out.commit();
}

status encrypt_to_file(const char *password, const unsigned char *plain, std::size_t size,
                       const char *path, bool create_new) {
    if (status s = fits_container(size, path); !s) return s;
    container_writer writer;
    if (status s = writer.start(password); !s) return s;
    return write_container(writer, plain, size, path, create_new);
}

status encrypt_to_file(const char *password, const unsigned char *plain, std::size_t size,
                       const char *path, bool create_new, derived_keys &keys) {
    if (status s = fits_container(size, path); !s) return s;
    container_writer writer;
    container_key fresh;
    if (status s = keys.take_fresh(password, fresh) ? writer.start_with(fresh)
                                                    : writer.start(password);
        !s)
        return s;
    return write_container(writer, plain, size, path, create_new);
}

status seal_with_key(const container_key &key, const unsigned char *plain, std::size_t size,
                     const char *path, bool create_new) {
    if (status s = fits_container(size, path); !s) return s;
    container_writer writer;
    if (status s = writer.start_with(key); !s) return s;
    return write_container(writer, plain, size, path, create_new);
}

status decrypt_file(const char *password, const char *path) {
    loaded_container c;
    if (status s = load_container(password, path, c); !s) return s;
    auto ok = authentic(c);
    if (!ok) return failed(fault::mac, path);
    if (!*ok) return failed(fault::wrong_password, path);

    cipher_ctx_ptr cipher = start_ctr(c.km.key.data, c.trailer + fmt::iv_offset, 0);
    if (!cipher) return failed(fault::cipher_start, path);
    std::string target = replacement_target(path);
    file_replacement out(target, shown_name(target, ".plain"));
    if (status s = out.open(); !s) return s;
    // Plain text exists only a chunk at a time, in a buffer of its own.
    wiped_buffer chunk(std::max<std::size_t>(std::min(c.plain_size, crypt_chunk_size), 1));
    for (std::size_t done = 0; done < c.plain_size;) {
        std::size_t n = std::min(crypt_chunk_size, c.plain_size - done);
        if (!ctr_update(cipher.get(), c.bytes.get() + done, n, chunk.data()))
            return failed(fault::cipher_update, path);
        if (status s = out.write(chunk.data(), n); !s) return s;
        done += n;
    }
    if (!ctr_final(cipher.get())) return failed(fault::cipher_final, path);
    return out.commit();
}

namespace {

decrypted decrypt_loaded(const char *password, const char *path, loaded_container &c,
                         const container_key *given = nullptr,
                         derived_keys *keys = nullptr) {
    decrypted result;
    auto fail = [&](fault what) {
        result.why = failed(what, path);
        result.status = what == fault::wrong_password ? decrypt_status::wrong_password
                                                      : decrypt_status::failed;
        return std::move(result);
    };
    if (status s = load_container(password, path, c, given, keys); !s) {
        result.why = std::move(s);
        return result;
    }
    if (given != nullptr &&
        std::memcmp(given->salt.data, c.km.salt.data, sizeof given->salt.data) != 0)
        return fail(fault::wrong_password);
    auto ok = authentic(c);
    if (!ok) return fail(fault::mac);
    if (!*ok) return fail(fault::wrong_password);
    cipher_ctx_ptr cipher = start_ctr(c.km.key.data, c.trailer + fmt::iv_offset, 0);
    if (!cipher) return fail(fault::cipher_start);
    // Decrypted where it lies, so that the file is never held twice; the
    // block is wiped from here on, whatever happens.
    auto plain = std::make_unique<wiped_buffer>(wiped_buffer::adopt_block{}, c.bytes.release(),
                                                c.plain_size);
    for (std::size_t done = 0; done < c.plain_size;) {
        std::size_t n = std::min(crypt_chunk_size, c.plain_size - done);
        if (!ctr_update(cipher.get(), plain->data() + done, n, plain->data() + done))
            return fail(fault::cipher_update);
        done += n;
    }
    if (!ctr_final(cipher.get())) return fail(fault::cipher_final);
    result.status = decrypt_status::ok;
    result.plain = std::move(plain);
    return result;
}

}  // namespace

decrypted decrypt_to_memory(const char *password, const char *path) {
    loaded_container c;
    return decrypt_loaded(password, path, c);
}

decrypted decrypt_to_memory(const char *password, const char *path, derived_keys &keys) {
    loaded_container c;
    return decrypt_loaded(password, path, c, nullptr, &keys);
}

decrypted decrypt_to_memory_keeping_key(const char *password, const char *path,
                                        container_key &key) {
    loaded_container c;
    decrypted result = decrypt_loaded(password, path, c);
    if (result.status == decrypt_status::ok) {
        std::memcpy(key.key.data, c.km.key.data, sizeof key.key.data);
        std::memcpy(key.salt.data, c.km.salt.data, sizeof key.salt.data);
    }
    return result;
}

decrypted decrypt_to_memory_with_key(const container_key &key, const char *path) {
    loaded_container c;
    return decrypt_loaded(nullptr, path, c, &key);
}

status derive_container_key(const char *password, const unsigned char *salt,
                            container_key &out) {
    key_material km;
    if (status s = derive_key(password, salt, km); !s) return s;
    std::memcpy(out.key.data, km.key.data, sizeof out.key.data);
    std::memcpy(out.salt.data, km.salt.data, sizeof out.salt.data);
    return status_ok();
}
