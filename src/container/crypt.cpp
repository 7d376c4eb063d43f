#include "container/crypt.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>

#include "container/container.h"
#include "container/crypt_internal.h"
#include "container/file_input.h"
#include "container/keys.h"
#include "container/loader.h"
#include "container/writer.h"
#include "state/failure.h"
#include "state/files.h"
#include "state/replacement.h"
#include "state/test_hooks.h"

namespace fmt = container_format;

bool encrypt_file(const char *password, const char *path) {
    if (is_encrypted_file(path)) {
        say_failure("File is already encrypted.\n");
        return false;
    }
    unique_fd in = open_input(path, "Unable to open %s\n");
    if (!in.valid()) return false;
    struct stat before;
    if (!checked_size(in.get(), path, fmt::max_plain_size,
                      "%s is too large to encrypt: at most 2147483499 bytes fit a container.\n",
                      before))
        return false;
    ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    container_writer writer;
    if (!writer.start(password)) return false;
    std::string target = replacement_target(path);
    file_replacement out(target, shown_name(target, ".kesp"));
    if (!out.open()) return false;

    // The new file stays unnamed until the end, so a failure part-way
    // leaves nothing.
    const std::size_t plain_size = static_cast<std::size_t>(before.st_size);
    wiped_buffer chunk(std::min(plain_size, crypt_chunk_size) + fmt::trailer_size);
    for (std::size_t done = 0; done < plain_size;) {
        std::size_t n = std::min(crypt_chunk_size, plain_size - done);
        if (!read_exactly(in.get(), chunk.data(), n, path, "Unable to read ", changed_while_read))
            return false;
        if (done == 0) test_stop_point("encrypt-first-chunk-read");
        if (!writer.add(chunk.data(), n, out)) return false;
        done += n;
    }
    return unchanged_since(in.get(), path, before) && writer.finish(chunk.data(), out) &&
           out.commit();
}

bool encrypt_to_file(const char *password, const unsigned char *plain, std::size_t size,
                     const char *path, bool create_new) {
    if (!fits_container(size, path)) return false;
    container_writer writer;
    return writer.start(password) && write_container(writer, plain, size, path, create_new);
}

bool encrypt_to_file(const char *password, const unsigned char *plain, std::size_t size,
                     const char *path, bool create_new, derived_keys &keys) {
    if (!fits_container(size, path)) return false;
    container_writer writer;
    container_key fresh;
    const bool started = keys.take_fresh(password, fresh) ? writer.start_with(fresh)
                                                          : writer.start(password);
    return started && write_container(writer, plain, size, path, create_new);
}

bool seal_with_key(const container_key &key, const unsigned char *plain, std::size_t size,
                   const char *path, bool create_new) {
    if (!fits_container(size, path)) return false;
    container_writer writer;
    return writer.start_with(key) && write_container(writer, plain, size, path, create_new);
}

bool decrypt_file(const char *password, const char *path) {
    loaded_container c;
    if (!load_container(password, path, c)) return false;
    auto ok = authentic(c);
    if (!ok) return false;
    if (!*ok) {
        say_failure("Invalid password or tampered data. Aborted.\n");
        return false;
    }

    cipher_ctx_ptr cipher = start_ctr(c.km.key.data, c.trailer + fmt::iv_offset, 0);
    if (!cipher) return false;
    std::string target = replacement_target(path);
    file_replacement out(target, shown_name(target, ".plain"));
    if (!out.open()) return false;
    // Plain text exists only a chunk at a time, in a buffer of its own.
    wiped_buffer chunk(std::max<std::size_t>(std::min(c.plain_size, crypt_chunk_size), 1));
    for (std::size_t done = 0; done < c.plain_size;) {
        std::size_t n = std::min(crypt_chunk_size, c.plain_size - done);
        if (!ctr_update(cipher.get(), c.bytes.get() + done, n, chunk.data()) ||
            !out.write(chunk.data(), n))
            return false;
        done += n;
    }
    return ctr_final(cipher.get()) && out.commit();
}

namespace {

decrypted decrypt_loaded(const char *password, const char *path, loaded_container &c,
                         const container_key *given = nullptr,
                         derived_keys *keys = nullptr) {
    decrypted result;
    if (!load_container(password, path, c, given, keys)) return result;
    if (given != nullptr &&
        std::memcmp(given->salt.data, c.km.salt.data, sizeof given->salt.data) != 0) {
        result.status = decrypt_status::wrong_password;
        return result;
    }
    auto ok = authentic(c);
    if (!ok) return result;
    if (!*ok) {
        result.status = decrypt_status::wrong_password;
        return result;
    }
    cipher_ctx_ptr cipher = start_ctr(c.km.key.data, c.trailer + fmt::iv_offset, 0);
    if (!cipher) return result;
    // Decrypted where it lies, so that the file is never held twice; the
    // block is wiped from here on, whatever happens.
    auto plain = std::make_unique<wiped_buffer>(wiped_buffer::adopt_block{}, c.bytes.release(),
                                                c.plain_size);
    for (std::size_t done = 0; done < c.plain_size;) {
        std::size_t n = std::min(crypt_chunk_size, c.plain_size - done);
        if (!ctr_update(cipher.get(), plain->data() + done, n, plain->data() + done)) return result;
        done += n;
    }
    if (!ctr_final(cipher.get())) return result;
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

bool derive_container_key(const char *password, const unsigned char *salt, container_key &out) {
    key_material km;
    if (!derive_key(password, salt, km)) return false;
    std::memcpy(out.key.data, km.key.data, sizeof out.key.data);
    std::memcpy(out.salt.data, km.salt.data, sizeof out.salt.data);
    return true;
}

bool derive_container_key(const char *password, const unsigned char *salt, container_key &out,
                          failure &why) {
    failure_capture said;
    bool ok = derive_container_key(password, salt, out);
    why = said.take();
    return ok;
}

decrypted decrypt_to_memory_keeping_key(const char *password, const char *path,
                                        container_key &key, failure &why) {
    failure_capture said;
    decrypted result = decrypt_to_memory_keeping_key(password, path, key);
    why = said.take(path);
    return result;
}

decrypted decrypt_to_memory_with_key(const container_key &key, const char *path, failure &why) {
    failure_capture said;
    decrypted result = decrypt_to_memory_with_key(key, path);
    why = said.take(path);
    return result;
}

bool seal_with_key(const container_key &key, const unsigned char *plain, std::size_t size,
                   const char *path, failure &why) {
    failure_capture said;
    bool ok = seal_with_key(key, plain, size, path);
    why = said.take(path);
    return ok;
}
