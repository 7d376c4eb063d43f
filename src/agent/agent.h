// kesp-agent: unlock a container once and keep it unlocked while in use.
//
// unlock decrypts the container into a copy on a RAM filesystem (a private
// folder, 0700, files 0600), records the copy as the active database and
// leaves an agent in the background that holds the container's key in
// locked memory that no core dump holds. Every program of the suite works on
// the copy; each change is sealed into the container (fresh IV, the key
// derived at unlock) before the program that made it returns. The agent
// locks (seals, wipes the copy, clears the record, ends) on request, after
// its idle time without use, after its maximum time, on SIGTERM or SIGHUP,
// or when its folder goes. Each operation returns the program's exit
// status (0 done, 1 failed after a message on standard error).
//
// These are kesp-agent's commands; what a running agent holds is in
// agent/holder.h, its loop in agent/server.h.
#pragma once

#include <optional>
#include <string>

struct unlock_options {
    std::string db;  // empty: the database this account last locked or encrypted
    long idle_seconds = 600;
    long max_seconds = 7200;
};

// A DURATION: a positive number with s, m or h ("90s", "10m", "2h").
std::optional<long> parse_duration(const char *text);

int agent_unlock(const unlock_options &options);
int agent_lock();
int agent_status();
