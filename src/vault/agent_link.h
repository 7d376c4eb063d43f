// The unlocked copy and the agent that holds its key, as every program of
// the suite meets them: kesp-agent unlock decrypts a container into a copy
// on a RAM filesystem, records the copy as the active database and leaves
// an agent running that holds the container's key. Every program then works
// on the copy like on any active database; this module tells a copy from a
// plain database, notes each use with the agent, asks it to seal the copy
// into the container once a change is made (before the lock goes), and
// cleans up after an agent that ended without locking.
//
// The agent listens on a Unix socket beside the copy, in a private folder
// (0700) on the RAM filesystem. Both ends check with SO_PEERCRED that the
// other runs as the same user. The protocol is private to the suite and
// versioned: a request is a header (magic, version, verb), a length and at
// most agent_max_payload bytes; a reply a status byte, a length and text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "memory/secret.h"

inline constexpr char agent_magic[6] = {'k', 'e', 's', 'p', 'a', 'g'};
inline constexpr unsigned char agent_version = 1;
inline constexpr std::size_t agent_max_payload = 4096;
// Magic, version, verb; a 4-byte length follows.
inline constexpr std::size_t agent_header_size = sizeof agent_magic + 2;

// Verbs of a request.
enum class agent_verb : unsigned char {
    use = 'u',      // a program read or changed the copy: the idle time starts again
    seal = 's',     // seal the copy into the container now
    lock = 'l',     // seal, wipe the copy, forget it as active, end
    status = 'q',   // "<container>\n<copy>\n<seconds left>\n<process id>\n
                    // <seconds to the maximum time>\n"
    encrypt = 'e',  // payload: a password; seal under it, wipe, forget, end;
                    // replies "same" or "changed"
    key = 'k',      // payload: a container's absolute path; when the agent's
                    // password opens it, replies its key and salt (96 bytes)
    hold = 'h',     // the connection stays open while the asker runs: no idle
                    // lock meanwhile (a person may be typing at its prompts)
    password = 'p', // payload: a new master password, taken only when the one
                    // the agent holds no longer opens its container and this
                    // one does; the container is then taken in under it
};

// Names inside the private folder.
inline constexpr const char *agent_copy_name = "unlocked.db";
inline constexpr const char *agent_socket_name = "socket";
inline constexpr const char *agent_container_record = "container";
// Present while the copy may hold changes its container does not: written
// by the agent before it answers that a seal failed, and by a program whose
// change no agent answered for.
inline constexpr const char *agent_unsealed_marker = "unsealed";

// Where the folders of copies are made: $XDG_RUNTIME_DIR, or /dev/shm when
// it is unset or empty.
std::string agent_folder_base();
// A new private folder (0700) for one unlock's copy: agent_folder_base() +
// "/kesp-agent." and six random characters, so that no other user can
// guess or take its name first, and no two unlocks share a copy. Empty
// after a message on standard error.
std::string make_agent_folder();

// True when `path` names an agent's copy (unlocked.db in a kesp-agent folder).
bool is_agent_copy(const std::string &path);
std::string folder_of_copy(const std::string &copy);

// The container an agent's copy came from, as the agent recorded it in its
// folder (or, once that folder is gone, in ~/.kesp.unlocked); empty when
// unknown.
std::string container_of_copy(const std::string &copy);
// ~/.kesp.unlocked: "COPY\nCONTAINER", so that the container can still be
// named once the RAM folder went with a restart. Silent.
void remember_unlocked(const std::string &copy, const std::string &container);

// The unsealed-changes marker beside `copy`: set, cleared, asked. Silent.
void mark_unsealed(const std::string &copy);
void clear_unsealed(const std::string &copy);
bool holds_unsealed(const std::string &copy);

struct agent_reply {
    bool ok = false;
    std::string text;
};

// One request to the agent of the copy `copy`. Nothing when no agent
// answers: `gone` is set when nothing listens on its socket any more (the
// agent ended), unset when it could not be asked for another reason.
std::optional<agent_reply> ask_agent(const std::string &copy, agent_verb verb,
                                     std::string_view payload = {}, bool *gone = nullptr);

// The key of the container at `path` (made absolute here), from the agent
// of the active database, when that agent's master password opens it: the
// agent authenticates the container itself and answers with the key for
// that container's salt, never with the password. Nothing, silently, when
// no agent is active, it does not answer, or its password does not open
// the file. Opaque above the vault; wiped when it goes.
struct container_key;
struct container_key_deleter {
    void operator()(container_key *key) const;
};
using held_key = std::unique_ptr<container_key, container_key_deleter>;
held_key agent_key_for(const std::string &path);
// Whether the agent's master password opens the container at `path`.
bool agent_opens(const std::string &path);

// After another program replaced the agent's container by one under a new
// master password (kesp-sync taking in a change of it made on the other
// machine): hands `password` to the agent of the active database, which
// takes it only when the password it holds no longer opens its container
// and this one does, and then holds the container under it, so that later
// changes are sealed into it. True when the agent took it (`notice`: what
// it did besides, to be said with say_agent_notice); false, silently, when
// no agent answers or it refused.
bool give_agent_new_password(const char *password, std::string &notice);

// Reads one whole request or reply from `fd`: `head` receives the header
// and the payload goes to `payload` (at most agent_max_payload bytes, in
// wiped memory). False on a short, malformed or oversized message.
bool read_agent_message(int fd, unsigned char *head, std::size_t head_size,
                        secret_string &payload);
// Writes a reply: status '+' or '-', then the text.
bool write_agent_reply(int fd, bool ok, std::string_view text);

// The uid of the process at the other end of the Unix socket `fd`.
std::optional<unsigned> peer_uid(int fd);

// What the agent did on its own (a replaced container merged into the
// copy), sent with a reply that succeeded: one line on standard error.
void say_agent_notice(const std::string &text);

// Notes a use of the active database `path` when it is an agent's copy.
// False when the agent is gone: then the copy is wiped, the record of it
// cleared and "The agent that held DB has ended; every change is in DB.
// Unlock it again with kesp-agent unlock DB.\n" printed on standard error.
// While the agent answers, the program holds it from then on until it
// ends (agent_verb::hold): the idle time does not run out while it asks.
// A copy marked as holding unsealed changes is never wiped: it stays the
// active database and "The agent that held DB has ended before every
// change was written to DB; the changes are kept in COPY: kesp -E writes
// them to DB.\n" is printed instead (false too, unless
// allow_kept_copy() was called).
bool note_agent_use(const std::string &path);

// For kesp -E: from now on in this process a copy kept by note_agent_use
// counts as the active database, silently, so that it can be sealed into
// its container (encrypt_agent_copy).
void allow_kept_copy();

// After a change, while the lock is still held alone: when the active
// database is an agent's copy, has the agent seal it into its container.
// On failure prints "WARNING: the change is only in memory: REASON; it is
// written to DB as soon as it can be.\n" (the agent keeps the copy and
// tries again).
void seal_agent_copy();

// -E on an agent's copy, under the lock alone: the agent seals the copy
// under `password`, wipes it, clears the record and ends. Prints "The
// master password of DB is now the one just typed.\n" (stdout) when it
// differs from the one the copy was unlocked with. A copy kept after its
// agent ended is sealed here under `password` into its container, and
// "The changes kept in COPY are written to DB.\n" printed (stdout).
// False after a message.
bool encrypt_agent_copy(const std::string &copy, const char *password);

// Overwrites the file at `path` with zeros, syncs and unlinks it. Silent;
// false when any step failed (errno tells why).
bool wipe_file(const std::string &path);

// Wipes the copy (and a journal beside it), clears the pointer file while
// it still names `copy`, removes the keys kesp-ssh added from it from the
// ssh-agent (remove_recorded_ssh_keys), then the agent's files and folder.
void wipe_agent_copy(const std::string &copy);

// ~/.kesp.agent_locked: which container an agent locked and why ("after
// 10 minutes without use", ...), written when it locks, so that the next
// program that finds nothing active can say so. say_agent_locked prints
// "kesp-agent locked DB WHY; kesp-agent unlock opens it again.\n" on
// standard error once, then forgets it. Silent otherwise.
void remember_agent_lock(const std::string &container, const std::string &why);
void say_agent_locked();

// ~/.kesp.last_db: the container this account last locked or encrypted, an
// absolute path and nothing else (mode 0600). Silent.
void remember_last_db(const std::string &container);
std::optional<std::string> last_db();
