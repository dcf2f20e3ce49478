// The processes under the board: boardsim adopts every one that COMMAND leaves behind (daemons
// and setsid ones included), passes signals on to them, and ends them all when COMMAND ends.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace boardsim {

// Makes boardsim the reaper of every orphan below it, so nothing started under the board can
// slip away to the machine's init. Returns "" on success, else what failed.
std::string adopt_orphans();
// From now on umockdev's notes on a client that vanished mid-request are not printed. Once,
// before the bed starts.
void quiet_vanished_clients();

// The living processes below this one, parents before their children.
std::vector<pid_t> descendants();

// Sends sig to every process below this one outside process group skip_group (which the
// caller signals as a whole).
void signal_descendants(int sig, pid_t skip_group);

// Kills every process below this one with SIGKILL and reaps them all (no child of boardsim is
// left); returns how many were still running. From then on umockdev's notes on the killed
// clients' connections are expected and kept off standard error.
size_t end_descendants();

}  // namespace boardsim
