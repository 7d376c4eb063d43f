// Database files that a program is handed by name rather than through the
// pointer file (the copies kesp-merge merges): what a file is, its entries
// read in the form it has on disk, an encrypted container (authenticated
// and decrypted with a given password) or a plain SQLite file, and a new
// database file written in place of one or as a new file.
//
// Nothing here asks for a password: the caller brings it. Plain bytes are
// held in wiped memory only. Every failure is printed where it is found,
// naming the file by its `name`.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "store/image.h"

class derived_keys;  // the container's own

enum class db_form { plain, container };

struct db_file {
    std::string path;
    std::string name;             // in messages: the path, or what the caller calls it
    db_form form = db_form::plain;
    bool empty = false;           // a 0-byte file, where one was allowed
};

// Container keys derived ahead, for a program that opens several files and
// writes one: each (password, salt) pair is derived once, the derivations
// asked for together side by side on the machine's cores. Wiped with it.
class db_file_keys {
public:
    db_file_keys();
    ~db_file_keys();
    db_file_keys(const db_file_keys &) = delete;
    db_file_keys &operator=(const db_file_keys &) = delete;

    // Asks for the key of `password` for the container `file` (nothing for
    // a plain or empty one, or one whose trailer cannot be read).
    void want_for_file(const char *password, const db_file &file);
    // Asks for the key of `password` over a fresh salt, for one new container.
    void want_fresh(const char *password);
    // Derives what was asked for. False after "Key derivation failed.\n".
    bool derive();
    // How many derivations ran here, in derive() and while files were read.
    std::size_t derivations() const;

    derived_keys &keys() { return *keys_; }

private:
    std::unique_ptr<derived_keys> keys_;
};

// What the file at `path` is: a container, a plain database, or (with
// `may_be_empty`) an empty file. Nothing after "<name>: <reason>" when it
// cannot be read, "<name> is not a regular file.", or when a plain file has
// a side file that holds changes of its own.
std::optional<db_file> examine_db_file(const std::string &path, const std::string &name,
                                       bool may_be_empty);

// Hands the entries of `file` to `reader` (see db_image_visit): a plain or
// empty file as it is, a container decrypted with `password`. 1 read, 0 the
// password does not open the container (silent: a wrong password and
// damaged data alike), -1 failed after a message. With `keys`, a container's
// key comes from there when derived already, and stays there once derived.
int read_db_file(const db_file &file, const char *password, const image_reader &reader,
                 db_file_keys *keys = nullptr);

// read_db_file with a container's key already derived (kesp-agent's),
// where no password is at hand.
struct container_key;
int read_db_file_with_key(const db_file &file, const container_key &key,
                          const image_reader &reader);

// The SHA-256 of the bytes of the file at `path` now, to tell later whether
// it is still the file that was read. Nothing after a message.
using db_file_digest = std::array<unsigned char, 32>;
std::optional<db_file_digest> digest_db_file(const std::string &path);

// Writes a database file holding exactly the rows of `next` (see
// db_image_build; `expected_size` guesses its size) in `form`, encrypted
// under `password` for a container: replacing the file at `path` durably
// (through a final symbolic link, which stays), or with `create_new` as the
// new file `path` (mode 0600), which is never overwritten: when the name is
// taken, false with errno EEXIST and no message. Otherwise false after a
// message; nothing changed either way. With `versions`, the file holds the
// record of earlier versions with exactly those (see db_image_build). With
// `keys`, a container is sealed under a fresh key derived there ahead. With
// `lineage`, the file carries it (store/lineage.h). A container needs a
// password: without one, false after a message.
bool write_db_file(image_row_source next, void *context, std::size_t expected_size,
                   db_form form, const char *password, const std::string &path,
                   bool create_new, image_version_source versions = nullptr,
                   void *versions_context = nullptr, db_file_keys *keys = nullptr,
                   const db_lineage *lineage = nullptr);

// write_db_file of a container under a key already derived: its salt
// stays, the IV is fresh.
bool write_db_file_with_key(image_row_source next, void *context, std::size_t expected_size,
                            const container_key &key, const std::string &path, bool create_new,
                            image_version_source versions = nullptr,
                            void *versions_context = nullptr,
                            const db_lineage *lineage = nullptr);

// True when `path` leads to the file the pointer file names as the active
// database (plain, existing).
bool is_active_db_file(const std::string &path);
