// Keys handed to an ssh-agent, through the real ssh-add, and the record of
// them kept in the RAM folder of the kesp-agent whose database they came
// from: when that agent locks (wipe_agent_copy), every key in the record
// is removed from the ssh-agent it went to.
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

struct ssh_add_result {
    bool ok = false;
    std::string said;  // what ssh-add printed, for a failure's message
};

// ssh-add [-c] [-t SECONDS] - on the agent at `socket`. lifetime 0: none.
ssh_add_result ssh_add_key(const std::string &socket, std::string_view private_block,
                           std::string_view passphrase, long lifetime, bool confirm,
                           const std::string &askpass);

// ssh-keygen -y -f FILE, the passphrase given as to ssh-add: ok when it
// opens the key in `file`.
ssh_add_result ssh_check_passphrase(const std::string &file, std::string_view passphrase,
                                    const std::string &askpass);

// ssh-add -d - with the public key line `public_line` ("ALGORITHM BLOB").
ssh_add_result ssh_remove_key(const std::string &socket, const std::string &public_line);

// The "ALGORITHM BLOB" of each key the agent at `socket` holds (ssh-add -L,
// comments dropped). Nothing when no agent answers there.
std::optional<std::vector<std::string>> ssh_agent_keys(const std::string &socket);

// Notes in the folder of the agent's copy `copy` that `public_line` went to
// the agent at `socket`; forget_ssh_key takes the note back. Silent; false
// when it could not be written.
bool record_ssh_key(const std::string &copy, const std::string &socket,
                    const std::string &public_line);
void forget_ssh_key(const std::string &copy, const std::string &socket,
                    const std::string &public_line);

// Removes every key recorded in the agent folder `folder` from the
// ssh-agent it went to, and the record. Silent; nothing without a record.
void remove_recorded_ssh_keys(const std::string &folder);
