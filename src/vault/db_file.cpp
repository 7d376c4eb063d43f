#include "vault/db_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "container/container.h"
#include "container/crypt.h"
#include "container/keys.h"
#include "state/files.h"
#include "state/replacement.h"
#include "vault/active_db.h"
#include "store/db.h"
#include "vault/detect.h"

namespace {

// The regular file at `path`, open for reading; its size in `st`.
unique_fd open_regular(const std::string &path, const std::string &name, struct stat &st) {
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        print_errno(name);
        return unique_fd();
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "%s is not a regular file.\n", name.c_str());
        return unique_fd();
    }
    return fd;
}

// The whole regular file at `path` in wiped memory.
std::unique_ptr<wiped_buffer> read_whole_file(const std::string &path, const std::string &name) {
    struct stat st;
    unique_fd fd = open_regular(path, name, st);
    if (!fd.valid()) return nullptr;
    auto bytes = std::make_unique<wiped_buffer>(static_cast<std::size_t>(st.st_size));
    hint_huge_pages(bytes->data(), bytes->size());
    std::size_t done = 0;
    while (done < bytes->size()) {
        ssize_t got = ::read(fd.get(), bytes->data() + done, bytes->size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got == 0) std::fprintf(stderr, "%s changed while it was read.\n", name.c_str());
            else print_errno(name);
            return nullptr;
        }
        done += static_cast<std::size_t>(got);
    }
    return bytes;
}

struct md_ctx_deleter {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

db_file_keys::db_file_keys() : keys_(std::make_unique<derived_keys>()) {}
db_file_keys::~db_file_keys() = default;

void db_file_keys::want_for_file(const char *password, const db_file &file) {
    if (!file.empty && file.form == db_form::container)
        keys_->want_for_file(password, file.path.c_str());
}

void db_file_keys::want_fresh(const char *password) { keys_->want_fresh(password); }

bool db_file_keys::derive() { return keys_->derive(); }

std::size_t db_file_keys::derivations() const { return keys_->derivations(); }

std::optional<db_file> examine_db_file(const std::string &path, const std::string &name,
                                       bool may_be_empty) {
    db_file file{path, name};
    struct stat st;
    unique_fd fd = open_regular(path, name, st);
    if (!fd.valid()) return std::nullopt;
    if (st.st_size == 0 && may_be_empty) {
        file.empty = true;
        return file;
    }
    auto magic = container_magic_at(path.c_str());
    if (!magic) {
        print_errno(name);
        return std::nullopt;
    }
    file.form = *magic ? db_form::container : db_form::plain;
    const bool alone = file.form == db_form::plain ? db_without_side_file(path.c_str())
                                                   : no_container_side_file(path.c_str());
    if (!alone) return std::nullopt;
    return file;
}

namespace {

// A container opens with `key` when one is given, else with `password`
// (through `keys` when given).
int read_db_file_as(const db_file &file, const char *password, const container_key *key,
                    const image_reader &reader, db_file_keys *keys) {
    if (file.empty) {
        reader.expect(reader.context, 0);
        return 1;
    }
    std::unique_ptr<wiped_buffer> bytes;
    if (file.form == db_form::container) {
        const char *path = file.path.c_str();
        decrypted plain = key != nullptr    ? decrypt_to_memory_with_key(*key, path)
                          : keys != nullptr ? decrypt_to_memory(password, path, keys->keys())
                                            : decrypt_to_memory(password, path);
        if (plain.status == decrypt_status::wrong_password) return 0;
        if (plain.status != decrypt_status::ok) {
            print_status(plain.why);
            return -1;
        }
        bytes = std::move(plain.plain);
    } else {
        bytes = read_whole_file(file.path, file.name);
        if (!bytes) return -1;
    }
    return db_image_visit(bytes->data(), bytes->size(), file.name.c_str(), reader) ? 1 : -1;
}

}  // namespace

int read_db_file(const db_file &file, const char *password, const image_reader &reader,
                 db_file_keys *keys) {
    return read_db_file_as(file, password, nullptr, reader, keys);
}

int read_db_file_with_key(const db_file &file, const container_key &key,
                          const image_reader &reader) {
    return read_db_file_as(file, nullptr, &key, reader, nullptr);
}

std::optional<db_file_digest> digest_db_file(const std::string &path) {
    struct stat st;
    unique_fd fd = open_regular(path, path, st);
    if (!fd.valid()) return std::nullopt;
    std::unique_ptr<EVP_MD_CTX, md_ctx_deleter> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        std::fputs("Unable to compute a digest.\n", stderr);
        return std::nullopt;
    }
    wiped_buffer chunk(std::size_t(256) << 10);
    for (;;) {
        ssize_t got = ::read(fd.get(), chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            print_errno(path);
            return std::nullopt;
        }
        if (got == 0) break;
        if (EVP_DigestUpdate(ctx.get(), chunk.data(), static_cast<std::size_t>(got)) != 1) {
            std::fputs("Unable to compute a digest.\n", stderr);
            return std::nullopt;
        }
    }
    db_file_digest digest;
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) != 1 || length != digest.size()) {
        std::fputs("Unable to compute a digest.\n", stderr);
        return std::nullopt;
    }
    return digest;
}

namespace {

bool write_db_file_as(image_row_source next, void *context, std::size_t expected_size,
                      db_form form, const char *password, const container_key *key,
                      const std::string &path, bool create_new, image_version_source versions,
                      void *versions_context, db_file_keys *keys, const db_lineage *lineage) {
    // Sealing under no password at all would seal under nothing anyone knows.
    if (form == db_form::container && key == nullptr && password == nullptr) {
        std::fprintf(stderr, "No password to encrypt %s with; nothing was written.\n",
                     path.c_str());
        return false;
    }
    struct stat st;
    if (create_new && ::lstat(path.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    std::unique_ptr<built_image> bytes = db_image_build(next, context, expected_size, versions, versions_context, lineage);
    if (!bytes) return false;
    // A name taken meanwhile is said by the caller, in its words (errno EEXIST).
    if (form == db_form::container && key != nullptr)
        return printed_ok(
            seal_with_key(*key, bytes->data(), bytes->size(), path.c_str(), create_new));
    if (form == db_form::container)
        return printed_ok(keys != nullptr
                              ? encrypt_to_file(password, bytes->data(), bytes->size(),
                                                path.c_str(), create_new, keys->keys())
                              : encrypt_to_file(password, bytes->data(), bytes->size(),
                                                path.c_str(), create_new));
    std::string target = create_new ? path : replacement_target(path.c_str());
    file_replacement out(target, create_new ? target : target + ".merged");
    status s = out.open();
    if (s) s = out.write(bytes->data(), bytes->size());
    if (s) s = create_new ? out.commit_new() : out.commit();
    return printed_ok(s);
}

}  // namespace

bool write_db_file(image_row_source next, void *context, std::size_t expected_size,
                   db_form form, const char *password, const std::string &path,
                   bool create_new, image_version_source versions, void *versions_context,
                   db_file_keys *keys, const db_lineage *lineage) {
    return write_db_file_as(next, context, expected_size, form, password, nullptr, path,
                            create_new, versions, versions_context, keys, lineage);
}

bool write_db_file_with_key(image_row_source next, void *context, std::size_t expected_size,
                            const container_key &key, const std::string &path, bool create_new,
                            image_version_source versions, void *versions_context,
                            const db_lineage *lineage) {
    return write_db_file_as(next, context, expected_size, db_form::container, nullptr, &key,
                            path, create_new, versions, versions_context, nullptr, lineage);
}

bool is_active_db_file(const std::string &path) {
    active_db active;
    struct stat st;
    return probe_active_db(active) == active_state::ok && ::stat(path.c_str(), &st) == 0 &&
           st.st_dev == active.device && st.st_ino == active.inode;
}
