// Process tree below boardsim, read from /proc: child subreaper, signals and the final kill (with
// umockdev's expected notes on the killed clients' connections kept off standard error).
#include "boardsim_processes.h"

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>

#include <glib.h>

#include "proc_file.h"

namespace boardsim {

namespace {

// Room for a /proc/N/stat line: 52 numeric fields and a 16-byte name.
constexpr size_t kStatSize = 1536;

struct Entry {
    pid_t ppid;
    bool zombie;
};

// Every process of the machine with its parent, from /proc/N/stat ("pid (comm) state ppid ...";
// comm may hold spaces and parentheses, so the fields are read after its last ')').
std::map<pid_t, Entry> process_table() {
    std::map<pid_t, Entry> table;
    DIR* proc = opendir("/proc");
    if (!proc) return table;
    while (struct dirent* e = readdir(proc)) {
        char* end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0) continue;
        char path[64], stat[kStatSize];
        snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        const ssize_t n = testbed::read_proc_file(path, stat, sizeof stat);
        const char* close = n > 0 ? strrchr(stat, ')') : nullptr;
        if (!close || close + 4 >= stat + n) continue;
        table[static_cast<pid_t>(pid)] = {static_cast<pid_t>(atol(close + 4)), close[2] == 'Z'};
    }
    closedir(proc);
    return table;
}

// A process that ends with a device request in flight (killed at the board's end, or a daemon
// that exits while its pattern thread waits on a chip) breaks off its umockdev connection, and
// umockdev's server notes it (a GLib warning or critical): the program's end, not the board's
// fault, so those notes, and only those, stay out of boardsim's standard error.
const char* const kVanishedClientNotes[] = {"Error resolving IOCtl data", "Destroying IoctlClient with open stream"};

GLogWriterOutput write_log(GLogLevelFlags level, const GLogField* fields, gsize n_fields, gpointer data) {
    if (level & (G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL)) {
        for (gsize i = 0; i < n_fields; ++i) {
            if (strcmp(fields[i].key, "MESSAGE") != 0 || fields[i].length >= 0) continue;
            const char* text = static_cast<const char*>(fields[i].value);
            if (strncmp(text, "umockdev-", strlen("umockdev-")) != 0) break;
            for (const char* note : kVanishedClientNotes)
                if (strstr(text, note)) return G_LOG_WRITER_HANDLED;
        }
    }
    return g_log_writer_default(level, fields, n_fields, data);
}

// Reaps every child that has ended, without waiting.
void reap_ended() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

}  // namespace

void quiet_vanished_clients() { g_log_set_writer_func(write_log, nullptr, nullptr); }

std::string adopt_orphans() {
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return std::string("PR_SET_CHILD_SUBREAPER: ") + strerror(errno);
    return "";
}

std::vector<pid_t> descendants() {
    const auto table = process_table();
    std::multimap<pid_t, pid_t> children;
    for (const auto& p : table) children.emplace(p.second.ppid, p.first);
    std::vector<pid_t> out, parents = {getpid()};
    while (!parents.empty()) {
        std::vector<pid_t> next;
        for (pid_t parent : parents) {
            auto range = children.equal_range(parent);
            for (auto it = range.first; it != range.second; ++it) {
                next.push_back(it->second);
                if (!table.at(it->second).zombie) out.push_back(it->second);
            }
        }
        parents.swap(next);
    }
    return out;
}

void signal_descendants(int sig, pid_t skip_group) {
    for (pid_t pid : descendants())
        if (skip_group <= 0 || getpgid(pid) != skip_group) kill(pid, sig);
}

size_t end_descendants() {
    std::set<pid_t> ended;
    for (;;) {
        reap_ended();
        const std::vector<pid_t> pids = descendants();
        if (pids.empty()) break;
        // Killed children end at once; their own children are adopted and killed in the next round.
        for (pid_t pid : pids) {
            kill(pid, SIGKILL);
            ended.insert(pid);
        }
        for (pid_t pid : pids) {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    // Every child gone, those killed last included: none is left a zombie.
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
    return ended.size();
}

}  // namespace boardsim
