// A master password changed on the other machine, given to the agent once
// (agent_verb::password): kesp-sync took in a container sealed under it
// while the agent held the database. The agent takes it only when the
// password it holds no longer opens its container and this one does; it
// then holds the container under it, takes in what it holds (as
// agent::refresh does) and seals every later change under it.
#pragma once

#include <string>

#include "agent/holder.h"

// False with the reason in `why` (one line, as agent::refresh gives it);
// the password the agent holds is then the one it held.
bool take_new_password(agent &a, const char *password, std::string &why);
