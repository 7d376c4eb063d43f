// Command procedures, one per option. Each prints its own messages and
// returns nothing the dispatcher looks at; flags are ints that act only when
// they equal 1.
//
// --auto-encrypt is honoured by -i, -a, -e, -r, -l, -A, -t, -f and -q: they
// take an `auto_encrypt` flag and end with the auto-encrypt step
// (run_auto_encrypt_step), once they are past their own failure points. Copy (-c) and regex search (-F) never encrypt, whatever
// the flag says, and are not given it.
#pragma once

#include "store/entry.h"

// Database lifecycle.
void cmd_init(const char *path, int force, int auto_encrypt);
bool cmd_encrypt();
bool cmd_decrypt(const char *path);
void cmd_use_db(const char *path);
// -p: prints the active path, or "No decrypted database exist.\n" on stderr.
void cmd_show_db_path();

// Prints "Auto encrypt enabled, type password to encrypt.\n" and runs
// cmd_encrypt; when that fails, says so with warn_if_still_decrypted.
void run_auto_encrypt_step();

// "WARNING: <path> is still decrypted; encrypt it with kesp -E.\n" on
// standard error when a decrypted database is active.
void warn_if_still_decrypted();

// Entry editing.
void cmd_add(int auto_encrypt);
void cmd_edit(int id, int auto_encrypt);
void cmd_copy(int id);
void cmd_remove(int id, int auto_encrypt);
// Value of KESP_DEFAULT_USERNAME, or nullptr when it is not set.
const char *get_default_username();

// Listing and search.
void cmd_list_entry(int id, int show_passwords, int auto_encrypt, int show_qrcode);
// count: list_all for -A, the -t count (list_newest_first without one).
void cmd_list_entries(int show_passwords, int auto_encrypt, int count);
void cmd_find(const char *search, int show_passwords, int auto_encrypt);
void cmd_find_regex(const char *pattern, int show_passwords);
