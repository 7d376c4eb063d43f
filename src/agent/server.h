// The agent's background half: its own session, the socket it listens on,
// and the loop that answers one request per connection (use, seal, hold,
// status, lock, key, encrypt) from programs of the same user, and locks by
// itself when its idle or maximum time has passed, on SIGTERM or SIGHUP, or
// when its folder goes. Nothing here prints once detached.
#pragma once

#include <csignal>
#include <string>

#include "agent/holder.h"
#include "state/files.h"

// A socket listening at `path` (an old one there is removed first); not
// valid after a message on standard error.
unique_fd listen_on(const std::string &path);

// The background half: its own session, no terminal, standard streams
// closed (standard error collects what a failed seal printed).
void detach(agent &a);

// Serves `listener` until the agent locks or ends, with `mask` as the
// signal mask once the handlers are in place. The copy is sealed and wiped,
// or (its folder gone) only wiped, when it returns.
void run_agent(agent &a, int listener, const sigset_t &mask);
