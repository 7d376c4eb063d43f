// Command procedures, one per option. Each prints its own messages and
// returns nothing the dispatcher looks at; flags are ints that act only when
// they equal 1.
#pragma once

#include "store/entry.h"

// Database lifecycle.
void cmd_init(const char *path, int force, int auto_encrypt);
bool cmd_encrypt();
bool cmd_decrypt(const char *path);
void cmd_use_db(const char *path);

// Entry editing.
void cmd_add(int auto_encrypt);
void cmd_edit(int id, int auto_encrypt);
void cmd_copy(int id);
void cmd_remove(int id, int auto_encrypt);
// Value of KESP_DEFAULT_USERNAME, or nullptr when it is not set.
const char *get_default_username();

// Listing and search.
void cmd_list_entry(int id, int show_passwords, int auto_encrypt, int show_qrcode);
void cmd_list_entries(int show_passwords, int auto_encrypt, int count);
void cmd_find(const char *search, int show_passwords, int auto_encrypt);
void cmd_find_regex(const char *pattern, int show_passwords);
void print_matching_entries(const entry *first, const char *pattern, int show_passwords);

// Shared start of the entry commands: false, after
// "No decrypted database found.\n", when no database is active.
bool require_active_db();

// Shared by -e, -c and -l: the entry with `id`, or nothing when the store
// failed (it has reported) or no entry has that id (then `missing` is printed
// on standard output, with the id for a %d in it).
entry_ptr fetch_entry(int id, const char *missing);

// Shared by the commands that take --auto-encrypt: prints
// "Auto encrypt enabled, type password to encrypt.\n" and runs cmd_encrypt.
void run_auto_encrypt_step();
