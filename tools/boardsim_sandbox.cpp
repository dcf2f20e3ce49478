// Private mount namespace: unshare, private propagation, a fresh nodev /dev, covers over /sys,
// the kernel switches in /proc and /data; the device capabilities taken out of the bounding set.
#include "boardsim_sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <string.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace boardsim {

namespace {

// Device nodes that reach no hardware: passed into the fresh /dev.
const char* const kHarmlessNodes[] = {"null", "zero", "full", "random", "urandom", "tty"};
const char* const kSysDir = "/sys";
const char* const kDataDir = "/data";
// Kernel switches under /proc that act on the machine: read-only for COMMAND.
const char* const kProcSwitches[] = {"/proc/sys", "/proc/sysrq-trigger"};
// What COMMAND, even as root, could reach the machine's devices with: making device nodes,
// mounting (a devtmpfs, sysfs), raw I/O ports and memory, kernel modules, reboot.
const int kDeviceCapabilities[] = {CAP_MKNOD, CAP_SYS_ADMIN, CAP_SYS_RAWIO, CAP_SYS_MODULE, CAP_SYS_BOOT};

std::string failed(const std::string& what) { return what + ": " + strerror(errno); }

// Empties this process's effective, permitted and inheritable capability sets.
bool give_up_capabilities() {
    __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    return syscall(SYS_capset, &head, data) == 0;
}

bool is_dir(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool write_file(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// Maps our own user and group into the new user namespace, so files keep their owner.
std::string map_own_ids(uid_t uid, gid_t gid) {
    if (!write_file("/proc/self/setgroups", "deny")) return failed("/proc/self/setgroups");
    if (!write_file("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1"))
        return failed("/proc/self/uid_map");
    if (!write_file("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1"))
        return failed("/proc/self/gid_map");
    return "";
}

// Builds the fresh /dev on a tmpfs in a staging folder, then moves it over /dev.
std::string cover_dev() {
    char stage[] = "/tmp/boardsim-dev.XXXXXX";
    if (!mkdtemp(stage)) return failed("mkdtemp");
    const std::string s = stage;
    std::string err;
    // nodev: a node made here opens no device; the nodes bound in below are mounts of their own.
    if (mount("tmpfs", stage, "tmpfs", MS_NOSUID | MS_NOEXEC | MS_NODEV, "mode=0755") != 0) {
        err = failed("tmpfs for /dev");
        rmdir(stage);
        return err;
    }
    for (const char* name : kHarmlessNodes) {
        const std::string host = std::string("/dev/") + name, here = s + "/" + name;
        if (access(host.c_str(), F_OK) != 0) continue;
        int fd = open(here.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) close(fd);
        if (fd < 0 || mount(host.c_str(), here.c_str(), nullptr, MS_BIND, nullptr) != 0) err = failed("bind " + host);
    }
    // A pts instance of our own: the ptys of the simulated serial line live there.
    if (err.empty() && (mkdir((s + "/pts").c_str(), 0755) != 0 ||
                        mount("devpts", (s + "/pts").c_str(), "devpts", MS_NOSUID | MS_NOEXEC,
                              "newinstance,ptmxmode=0666,mode=0620") != 0 ||
                        symlink("pts/ptmx", (s + "/ptmx").c_str()) != 0))
        err = failed("devpts");
    if (err.empty() && (mkdir((s + "/shm").c_str(), 01777) != 0 ||
                        mount("tmpfs", (s + "/shm").c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0))
        err = failed("/dev/shm");
    if (err.empty() && (symlink("/proc/self/fd", (s + "/fd").c_str()) != 0 ||
                        symlink("/proc/self/fd/0", (s + "/stdin").c_str()) != 0 ||
                        symlink("/proc/self/fd/1", (s + "/stdout").c_str()) != 0 ||
                        symlink("/proc/self/fd/2", (s + "/stderr").c_str()) != 0))
        err = failed("/dev links");
    if (err.empty() && mount(stage, "/dev", nullptr, MS_MOVE, nullptr) != 0) err = failed("moving the new /dev");
    if (!err.empty()) umount2(stage, MNT_DETACH);
    rmdir(stage);
    return err;
}

}  // namespace

std::string enter_private_mounts() {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    const bool root = uid == 0;
    if (unshare(root ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0) return failed("unshare");
    if (!root) {
        std::string err = map_own_ids(uid, gid);
        if (!err.empty()) return err;
    }
    // Nothing mounted from here on propagates back to the machine.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return failed("private mounts");
    std::string err = cover_dev();
    if (!err.empty()) return err;
    // The programs' /sys is umockdev's; the machine's (GPIO, LEDs, power) is covered whole.
    if (is_dir(kSysDir) &&
        mount("tmpfs", kSysDir, "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0555") != 0)
        return failed(kSysDir);
    for (const char* path : kProcSwitches) {
        if (access(path, F_OK) != 0) continue;
        if (mount(path, path, nullptr, MS_BIND, nullptr) != 0 ||
            mount(nullptr, path, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC,
                  nullptr) != 0)
            return failed(path);
    }
    return "";
}

std::string drop_device_capabilities() {
    std::string err;
    for (int cap : kDeviceCapabilities)
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && err.empty()) err = failed("PR_CAPBSET_DROP");
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && err.empty()) err = failed("PR_CAP_AMBIENT");
    // Not root: what the user namespace gave boardsim for its mounts goes too, so that from here
    // on (the state and the report are written after the run) it writes files as the user, not
    // as the namespace's owner, who could write the user's read-only files and folders.
    if (geteuid() != 0 && !give_up_capabilities() && err.empty()) err = failed("capset");
    return err;
}

std::string cover_data(const std::string& data_dir) {
    if (!is_dir(kDataDir)) return "";  // no real /data to reach
    if (mount(data_dir.c_str(), kDataDir, nullptr, MS_BIND, nullptr) != 0) return failed(kDataDir);
    return "";
}

}  // namespace boardsim
