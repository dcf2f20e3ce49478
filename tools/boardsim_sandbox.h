// The private mount namespace COMMAND runs in: the machine's device nodes, /sys and /data are
// covered, so that nothing COMMAND starts reaches the real hardware, not even a
// static binary or a raw system call that the preloads cannot see.
#pragma once

#include <string>

namespace boardsim {

// Moves this process, and so every process it starts later, into a private mount namespace
// (as root; otherwise inside a user namespace of its own) and covers /dev with a fresh one
// holding only the harmless nodes (null, zero, full, random, urandom, tty, a private pts; nodev
// for anything made there), /sys with an empty read-only folder, and makes /proc/sys and
// /proc/sysrq-trigger read-only. Must run before any thread is started.
// Returns "" on success, else what failed.
std::string enter_private_mounts();

// Puts data_dir where the programs look for /data, when the machine has a /data. Call after
// enter_private_mounts succeeded. Returns "" on success, else what failed.
std::string cover_data(const std::string& data_dir);

// Takes the capabilities that reach devices (making nodes, mounting, raw I/O, modules, reboot)
// out of the bounding set, so that COMMAND and everything it starts lack them, root or not; not
// root, boardsim gives up every capability its user namespace gave it.
// Returns "" on success, else what failed.
std::string drop_device_capabilities();

}  // namespace boardsim
