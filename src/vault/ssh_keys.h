// Keys handed to an ssh-agent, through the real ssh-add, and the records
// of them: one in the RAM folder of the kesp-agent whose database they came
// from, which goes with that folder, and one under HOME (~/.kesp.ssh_keys,
// mode 0600, public keys and sockets only), which outlives it. When that
// agent locks (wipe_agent_copy), or any later program finds it gone
// (remove_keys_of_ended_agents), every key recorded for it is removed from
// the ssh-agent it went to.
//
// A private key reaches ssh-add on a pipe (standard input), its passphrase
// through SSH_ASKPASS: the program named by `askpass` is run by ssh-add and
// reads the passphrase from descriptor ssh_askpass_fd, which it inherits
// (its number in KESP_SSH_ASKPASS_FD). Neither is ever in an argument, the
// environment or a file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int ssh_askpass_fd = 3;
inline constexpr const char *ssh_askpass_variable = "KESP_SSH_ASKPASS_FD";
inline constexpr const char *ssh_keys_record = "ssh-keys";
inline constexpr const char *ssh_keys_home_record = ".kesp.ssh_keys";
// How long a removal or a listing waits for an ssh-agent: a stopped one
// must not stop every later program, nor an agent that is locking.
inline constexpr int ssh_removal_timeout_ms = 3000;

struct ssh_add_result {
    bool ok = false;
    std::string said;  // what ssh-add printed, for a failure's message
    int status = -1;   // ssh-add's exit status; -1 killed or not run
};

// ssh-add [-c] [-t SECONDS] - on the agent at `socket`. lifetime 0: none.
ssh_add_result ssh_add_key(const std::string &socket, std::string_view private_block,
                           std::string_view passphrase, long lifetime, bool confirm,
                           const std::string &askpass);

// ssh-keygen -y -f FILE, the passphrase given as to ssh-add: ok when it
// opens the key in `file`.
ssh_add_result ssh_check_passphrase(const std::string &file, std::string_view passphrase,
                                    const std::string &askpass);

// ssh-add -d - with the public key line `public_line` ("ALGORITHM BLOB"),
// given up after ssh_removal_timeout_ms.
ssh_add_result ssh_remove_key(const std::string &socket, const std::string &public_line);

// ssh_remove_key, and what it means: `removed`, `absent` (the ssh-agent
// no longer answers at `socket` or holds no such key: nothing is left to
// remove there) or `failed` (the key may still be there; `why` says why).
enum class ssh_removal { removed, absent, failed };
ssh_removal take_ssh_key_out(const std::string &socket, const std::string &public_line,
                             std::string &why);

// The "ALGORITHM BLOB" of each key the agent at `socket` holds (ssh-add -L,
// comments dropped). Nothing when no agent answers there (in time).
std::optional<std::vector<std::string>> ssh_agent_keys(const std::string &socket);

// Notes in both records that `public_line` (fingerprint `fingerprint`)
// from the agent's copy `copy` went to the ssh-agent at `socket`: under
// HOME first, then in the copy's folder. False when either could not be
// written (`where` names it; nothing is left in the other): a record that
// is a symbolic link or no regular file is refused, never followed, and
// "FILE is not a regular file; kesp-ssh leaves it alone.\n" said.
bool record_ssh_key(const std::string &copy, const std::string &socket,
                    const std::string &fingerprint, const std::string &public_line,
                    std::string &where);
// Takes that note back from both records. Silent.
void forget_ssh_key(const std::string &copy, const std::string &socket,
                    const std::string &public_line);
// Whether the copy's folder still records `public_line` for `socket`: once
// its agent locked, it does not.
bool ssh_key_in_folder(const std::string &copy, const std::string &socket,
                       const std::string &public_line);

// Removes every key recorded for the copy `copy` (in either record) from
// the ssh-agent it went to, then drops it from the records. A key whose
// removal failed stays under HOME, and "The key FINGERPRINT that kesp-ssh
// added could not be removed from the ssh-agent at SOCKET: WHY; FILE keeps
// it for the next try.\n" is said on standard error.
void remove_recorded_ssh_keys(const std::string &copy);

// Once a process: for each copy the record under HOME names whose agent
// has ended (nothing listens on its socket, or its folder is gone), the
// keys recorded for it are removed as by remove_recorded_ssh_keys. Keys of
// an agent that still answers stay. Nothing without a record.
void remove_keys_of_ended_agents();
