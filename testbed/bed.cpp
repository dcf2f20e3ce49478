// Test bed: umockdev device nodes, the sandbox behind "/data", and the started program.
#include "bed.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <umockdev.h>

#include "arm_program.h"
#include "arm_runtime.h"
#include "device_server.h"
#include "virtual_clock.h"
#include "own_files.h"

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

extern char** environ;

namespace testbed {

namespace {
void mkdirs(const std::string& path) {
    std::string partial;
    std::stringstream ss(path);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (part.empty()) continue;
        partial += "/" + part;
        mkdir(partial.c_str(), 0755);
    }
}
}  // namespace

const char* program_under_test(const char* env_name, const char* built) {
    const char* v = getenv(env_name);
    return v && *v ? v : built;
}

// ---- umockdev glue: each handler signal turns into one CharDevice call ----

namespace {

struct Attached {
    UMockdevIoctlBase* base = nullptr;
    CharDevice* dev = nullptr;
};

// Runs one device call under the lock that the ARM programs' calls take too.
template <typename F>
long device_call(F call) {
    std::lock_guard<std::mutex> lock(device_call_mutex());
    return call();
}

long finish(UMockdevIoctlClient* client, long r) {
    if (r < 0)
        umockdev_ioctl_client_complete(client, -1, static_cast<int>(-r));
    else
        umockdev_ioctl_client_complete(client, r, 0);
    notify_changed();
    return r;
}

gboolean handle_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* dev = static_cast<CharDevice*>(user);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    finish(client, device_call([&] { return dev->on_write(arg->data, static_cast<size_t>(arg->data_len)); }));
    return TRUE;
}

gboolean handle_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* dev = static_cast<CharDevice*>(user);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::vector<uint8_t> buf(arg->data, arg->data + arg->data_len);
    long r = device_call([&] { return dev->on_read(buf.data(), buf.size()); });
    if (r > 0) umockdev_ioctl_data_update(arg, 0, buf.data(), static_cast<gint>(buf.size()));
    finish(client, r);
    return TRUE;
}

// umockdev's preload connects to the node's socket in the program's open().
void handle_connected(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer user) {
    static_cast<CharDevice*>(user)->note_open();
}

gboolean handle_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto* dev = static_cast<CharDevice*>(user);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    unsigned long raw = 0;
    std::memcpy(&raw, arg->data, std::min(sizeof raw, static_cast<size_t>(arg->data_len)));
    finish(client, device_call([&] { return dev->on_ioctl(umockdev_ioctl_client_get_request(client), raw); }));
    return TRUE;
}

}  // namespace

struct Bed::Impl {
    UMockdevTestbed* tb = nullptr;
    std::string root;
    std::string sandbox;  // holds data/ and the run files
    std::vector<std::string> nodes;
    std::vector<Attached> attached;
    std::map<std::string, std::pair<int, int>> ttys;  // name -> (master, slave)
    std::string serial_lines;  // "major:minor=record file;" per tty, for the preload
    std::vector<std::pair<std::string, int>> open_faults;
    int runs = 0;
    // The emulated devices for programs of another word size (ARM under qemu-arm).
    std::unique_ptr<DeviceServer> devices;
    ArmRuntime arm = find_arm_runtime();
    std::unique_ptr<VirtualClock> clock;  // the board's time when virtual
};

Bed::Bed() : impl_(new Impl) {
    impl_->tb = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(impl_->tb);
    impl_->root = root;
    g_free(root);
    // Beside umockdev's root: in $TMPDIR when it is set.
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/testbed-sandbox.XXXXXX";
    const char* dir = mkdtemp(&tmpl[0]);
    if (!dir) {
        problem("mkdtemp failed");
        return;
    }
    impl_->sandbox = dir;
    mkdirs(impl_->sandbox + "/data");
    impl_->devices.reset(new DeviceServer(impl_->sandbox + "/devices"));
}

Bed::~Bed() {
    impl_->clock.reset();
    impl_->devices.reset();
    for (auto& a : impl_->attached) g_object_unref(a.base);
    for (auto& t : impl_->ttys) {
        close(t.second.second);
    }
    g_object_unref(impl_->tb);  // removes the umockdev root
    if (!impl_->sandbox.empty()) {
        std::string cmd = "rm -rf '" + impl_->sandbox + "'";
        if (system(cmd.c_str()) != 0) problem("could not remove " + impl_->sandbox);
    }
}

void Bed::add_char_device(const std::string& name, CharDevice* dev) {
    std::string desc = "P: /devices/virtual/misc/" + name + "\nN: " + name + "\nE: SUBSYSTEM=misc\n";
    GError* err = nullptr;
    if (!umockdev_testbed_add_from_string(impl_->tb, desc.c_str(), &err)) {
        problem("umockdev add " + name + ": " + err->message);
        g_error_free(err);
        return;
    }
    Attached a;
    a.base = umockdev_ioctl_base_new();
    a.dev = dev;
    g_signal_connect(a.base, "handle-write", G_CALLBACK(handle_write), dev);
    g_signal_connect(a.base, "handle-read", G_CALLBACK(handle_read), dev);
    g_signal_connect(a.base, "handle-ioctl", G_CALLBACK(handle_ioctl), dev);
    g_signal_connect(a.base, "client-connected", G_CALLBACK(handle_connected), dev);
    std::string node = "/dev/" + name;
    if (!umockdev_testbed_attach_ioctl(impl_->tb, node.c_str(), a.base, &err)) {
        problem("umockdev attach " + node + ": " + err->message);
        g_error_free(err);
        g_object_unref(a.base);
        return;
    }
    impl_->attached.push_back(a);
    impl_->nodes.push_back(name);
    if (impl_->devices) impl_->devices->add(name, dev);
}

int Bed::add_tty(const std::string& name) {
    std::string desc = "P: /devices/platform/serial/tty/" + name + "\nN: " + name + "\nE: SUBSYSTEM=tty\n";
    GError* err = nullptr;
    if (!umockdev_testbed_add_from_string(impl_->tb, desc.c_str(), &err)) {
        problem("umockdev add " + name + ": " + err->message);
        g_error_free(err);
        return -1;
    }
    std::string node = "/dev/" + name;
    int master = umockdev_testbed_get_dev_fd(impl_->tb, node.c_str());
    // A pty master reads EIO while no slave end is open: the bed holds one for the whole run.
    std::string slave_path = impl_->root + node;
    int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY);
    if (master < 0 || slave < 0) problem("tty " + name + ": no master or slave end");
    impl_->ttys[name] = {master, slave};
    impl_->nodes.push_back(name);
    note_serial_line(name, slave);
    return master;
}

// ---- serial line settings: the preload records them for the ttys named here ----

void Bed::note_serial_line(const std::string& name, int slave) {
    struct stat st;
    if (slave < 0 || fstat(slave, &st) != 0) return;
    impl_->serial_lines += std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)) + "=" +
                           line_record_path(name) + ";";
}

std::string Bed::line_record_path(const std::string& name) const { return impl_->sandbox + "/line." + name; }

std::vector<LineSettings> Bed::line_settings(const std::string& name) const {
    return read_line_settings(line_record_path(name));
}

int Bed::tty_slave_fd(const std::string& name) const {
    auto it = impl_->ttys.find(name);
    return it == impl_->ttys.end() ? -1 : it->second.second;
}

void Bed::fail_open(const std::string& path, int err) { impl_->open_faults.emplace_back(path, err); }

std::string Bed::data_dir() const { return impl_->sandbox + "/data"; }
std::string Bed::sys_dir() const { return impl_->root + "/sys"; }
std::string Bed::root_dir() const { return impl_->root; }

std::string Bed::make_file(const std::string& rel_path, const std::string& content) {
    std::string path = impl_->sandbox + "/" + rel_path;
    mkdirs(path.substr(0, path.rfind('/')));
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

// ---- the started program ----

namespace {
// The program's end of its standard output in *slave; the bed's reading end, if any, in *master.
// A file is named in path and read back by Process::output().
bool open_stdout(RunOptions::Stdout kind, const std::string& path, int* master, int* slave) {
    switch (kind) {
    case RunOptions::Stdout::pty: {
        if (openpty(master, slave, nullptr, nullptr, nullptr) != 0) break;
        struct termios tio;
        tcgetattr(*slave, &tio);
        cfmakeraw(&tio);  // no "\r\n" translation: the harness sees the bytes the program wrote
        tcsetattr(*slave, TCSANOW, &tio);
        return true;
    }
    case RunOptions::Stdout::pipe: {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) break;
        *master = p[0];
        *slave = p[1];
        return true;
    }
    case RunOptions::Stdout::file:
        // As a shell's "> file" opens it.
        *slave = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (*slave >= 0) return true;
        break;
    }
    problem("cannot make the program's standard output");
    return false;
}
}  // namespace

struct Process::Io {
    std::mutex mutex;
    std::string out, err;
    std::thread reader;
    int out_fd = -1, err_fd = -1;

    void run() {
        struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
        int open_count = (out_fd >= 0) + (err_fd >= 0);
        char buf[4096];
        while (open_count > 0) {
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    std::lock_guard<std::mutex> lock(mutex);
                    (i == 0 ? out : err).append(buf, static_cast<size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open_count;
                }
            }
            notify_changed();
        }
    }
};

void Bed::use_virtual_clock() {
    if (!impl_->clock) impl_->clock.reset(new VirtualClock(impl_->sandbox + "/clock"));
}

std::unique_ptr<Process> Bed::start(const std::vector<std::string>& argv, const RunOptions& opts) {
    for (const auto& n : impl_->nodes) {
        struct stat st;
        std::string p = impl_->root + "/dev/" + n;
        if (stat(p.c_str(), &st) != 0) {
            problem("testbed node missing: " + p);
            return nullptr;
        }
    }
    std::unique_ptr<Process> proc(new Process);
    proc->log_path_ = impl_->sandbox + "/log." + std::to_string(++impl_->runs);
    proc->pipe_log_path_ = impl_->sandbox + "/pipe." + std::to_string(impl_->runs);
    unlink(proc->log_path_.c_str());
    unlink(proc->pipe_log_path_.c_str());
    if (!opts.pass_stdio && opts.stdout_to == RunOptions::Stdout::file)
        proc->out_file_ = impl_->sandbox + "/stdout." + std::to_string(impl_->runs);

    // One LD_PRELOAD value for every process of the run, host or ARM: the bed's preload first
    // ("/data", open faults, logs), then its ARM one (exec of ARM programs; ARM programs'
    // device calls), then umockdev's (/dev and /sys paths, ptys, host programs' device calls).
    // The virtual clock's preload comes first: the programs' own time and wait calls reach it
    // before anything else, and the other preloads' inner calls stay on the real clock.
    // The trace's preload comes before all: it sees the programs' own calls (a poll's time-out,
    // a tcflush) before the clock's preload turns them into others, and none of the preloads'
    // inner calls.
    std::vector<std::string> libs;
    if (!opts.trace_events.empty()) libs.push_back(own_library(TESTBED_TRACE_PRELOAD_PATH));
    if (impl_->clock) libs.push_back(own_library(TESTBED_CLOCK_PRELOAD_PATH));
    libs.insert(libs.end(), opts.preload_before.begin(), opts.preload_before.end());
    libs.insert(libs.end(), {own_library(TESTBED_PRELOAD_PATH), own_library(TESTBED_ARM_PRELOAD_PATH), UMOCKDEV_PRELOAD_PATH});
    libs.insert(libs.end(), opts.preload_after.begin(), opts.preload_after.end());
    const PreloadSet preloads =
        make_preload_set(impl_->sandbox + "/preload." + std::to_string(impl_->runs), libs, impl_->arm);
    std::string faults;
    for (const auto& f : impl_->open_faults) faults += f.first + "=" + std::to_string(f.second) + ";";

    std::vector<std::string> env;
    std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0";
    for (char** e = environ; *e; ++e) {
        std::string s = *e;
        if (s.rfind("LD_PRELOAD=", 0) == 0 || s.rfind("UMOCKDEV_DIR=", 0) == 0 || s.rfind("TESTBED_", 0) == 0) continue;
        if (s.rfind("ASAN_OPTIONS=", 0) == 0) {
            asan += ":" + s.substr(13);
            continue;
        }
        env.push_back(s);
    }
    env.push_back(asan);
    env.push_back("LD_PRELOAD=" + preloads.value);
    env.push_back("UMOCKDEV_DIR=" + impl_->root);
    env.push_back("TESTBED_DATA_DIR=" + data_dir());
    env.push_back("TESTBED_LOG=" + proc->log_path_);
    env.push_back("TESTBED_PIPE_LOG=" + proc->pipe_log_path_);
    env.push_back("TESTBED_FAIL_OPEN=" + faults);
    env.push_back("TESTBED_DEVICE_DIR=" + impl_->devices->dir());
    if (!impl_->arm.qemu.empty()) env.push_back(std::string(TESTBED_QEMU_ARM_VAR "=") + impl_->arm.qemu);
    if (!impl_->arm.root.empty()) env.push_back(std::string(TESTBED_ARM_ROOT_VAR "=") + impl_->arm.root);
    env.push_back("TESTBED_SERIAL=" + impl_->serial_lines);
    if (impl_->clock) env.push_back(impl_->clock->env());
    if (!opts.trace_events.empty()) {
        std::string nodes;
        for (const auto& n : impl_->nodes) nodes += (nodes.empty() ? "" : ":") + n;
        // A node that fails to open is still the board's device: its refused opens are traffic.
        for (const auto& f : impl_->open_faults)
            if (f.first.rfind("/dev/", 0) == 0) nodes += (nodes.empty() ? "" : ":") + f.first.substr(5);
        const auto start = std::chrono::duration_cast<std::chrono::nanoseconds>(opts.trace_start.time_since_epoch());
        env.push_back("TESTBED_TRACE=" + opts.trace_events);
        env.push_back("TESTBED_TRACE_START=" + std::to_string(start.count()));
        env.push_back("TESTBED_TRACE_NODES=" + nodes);
    }
    for (const auto& e : opts.env) env.push_back(e);

    // Without a working directory the program starts in the sandbox: a relative binary path
    // then means the caller's directory. A name without '/' is looked up in PATH.
    std::vector<std::string> args = argv;
    if (opts.working_dir.empty() && !args.empty() && args[0].find('/') != std::string::npos && args[0][0] != '/') {
        char* abs = realpath(args[0].c_str(), nullptr);
        if (abs) {
            args[0] = abs;
            free(abs);
        }
    }
    std::vector<char*> cargv, cenv;
    for (const auto& a : args) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (const auto& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
    cenv.push_back(nullptr);

    // A 32-bit ARM program runs under qemu-arm, found by its ELF header: nothing to ask for.
    std::unique_ptr<char*, decltype(&free)> arm_argv(nullptr, free), arm_env(nullptr, free);
    const std::string file = program_file(args.empty() ? "" : args[0]);
    if (!args.empty() && testbed_arm_elf(file.c_str())) {
        std::string why;
        if (impl_->arm.root.empty()) why = "no armhf root at " + impl_->arm.root_wanted + " (run scripts/armhf-root.sh)";
        for (const auto& lib : preloads.no_arm)
            why += (why.empty() ? "" : "; ") + ("no armhf build of " + lib + " in " + impl_->arm.preload_dir +
                                                " or the armhf root (build the armhf preset)");
        char err[512] = "";
        char** env_out = nullptr;
        char** cmd = why.empty() ? testbed_arm_command(file.c_str(), cargv.data(), cenv.data(), &env_out, err, sizeof err)
                                 : nullptr;
        if (!cmd) {
            problem("cannot start " + argv[0] + ", a 32-bit ARM program: " + (why.empty() ? err : why));
            return nullptr;
        }
        arm_argv.reset(cmd);
        arm_env.reset(env_out);
    }

    int master = -1, slave = -1;
    int errpipe[2] = {-1, -1};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (!opts.pass_stdio) {
        if (!open_stdout(opts.stdout_to, proc->out_file_, &master, &slave)) return nullptr;
        if (pipe2(errpipe, O_CLOEXEC) != 0) {
            problem("pipe failed");
            return nullptr;
        }
        if (master >= 0) fcntl(master, F_SETFD, FD_CLOEXEC);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, slave, 1);
        posix_spawn_file_actions_adddup2(&fa, errpipe[1], 2);
        posix_spawn_file_actions_addclose(&fa, slave);
    }
    std::string wd = opts.working_dir.empty() ? impl_->sandbox : opts.working_dir;
    posix_spawn_file_actions_addchdir_np(&fa, wd.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t deflt;
    sigfillset(&deflt);
    posix_spawnattr_setsigdefault(&attr, &deflt);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid;
    char** spawn_argv = arm_argv ? arm_argv.get() : cargv.data();
    char** spawn_env = arm_env ? arm_env.get() : cenv.data();
    int rc = posix_spawnp(&pid, spawn_argv[0], &fa, &attr, spawn_argv, spawn_env);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (slave >= 0) close(slave);
    if (errpipe[1] >= 0) close(errpipe[1]);
    if (rc != 0) {
        if (master >= 0) close(master);
        if (errpipe[0] >= 0) close(errpipe[0]);
        problem("cannot start " + argv[0] + ": " + strerror(rc));
        return nullptr;
    }
    proc->pid_ = pid;
    if (impl_->clock) impl_->clock->add_program(pid);
    proc->pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    proc->io_ = std::make_shared<Process::Io>();
    if (!opts.pass_stdio) {
        proc->io_->out_fd = master;
        proc->io_->err_fd = errpipe[0];
        auto io = proc->io_;
        io->reader = std::thread([io] { io->run(); });
    }
    return proc;
}

Process::~Process() {
    if (status_ < 0 && pid_ > 0) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (io_ && io_->reader.joinable()) io_->reader.join();
    if (pidfd_ >= 0) close(pidfd_);
}

int Process::wait_exit() { return wait_exit(milliseconds(-1)); }

int Process::wait_exit(milliseconds timeout) {
    if (status_ >= 0) return status_;
    struct pollfd p = {pidfd_, POLLIN, 0};
    // A negative time-out waits without limit. A signal to the caller does not end the wait.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int r;
    for (;;) {
        int wait_ms = -1;
        if (timeout.count() >= 0) {
            auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
            wait_ms = static_cast<int>(std::max<long long>(0, left.count()));
        }
        r = poll(&p, 1, wait_ms);
        if (r >= 0 || errno != EINTR) break;
    }
    if (r <= 0) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
    }
    int st = 0;
    while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (io_->reader.joinable()) io_->reader.join();
    notify_changed();
    return r <= 0 ? -1 : status_;
}

bool Process::exited() const {
    if (status_ >= 0) return true;
    struct pollfd p = {pidfd_, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

bool Process::wait_output(const std::string& text, milliseconds timeout) {
    return wait_until([&] { return output().find(text) != std::string::npos; }, timeout);
}

std::string Process::output() const {
    if (!out_file_.empty()) {
        std::ifstream in(out_file_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::lock_guard<std::mutex> lock(io_->mutex);
    return io_->out;
}

std::vector<std::string> Process::output_lines() const {
    std::vector<std::string> lines;
    std::string all = output();
    size_t pos = 0, nl;
    while ((nl = all.find('\n', pos)) != std::string::npos) {
        lines.push_back(all.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return lines;
}

std::string Process::error_output() const {
    std::lock_guard<std::mutex> lock(io_->mutex);
    return io_->err;
}

// Records written by the preload: one line per read (a long read takes several),
// "<seconds>.<nanoseconds> <hex bytes> <FIFO's path>", the time on the monotonic clock (that of
// steady_clock).
std::vector<PipeRead> Process::pipe_reads() const {
    std::vector<PipeRead> out;
    std::ifstream in(pipe_log_path_);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        long long sec = 0, nsec = 0;
        char dot = 0;
        std::string hex;
        PipeRead r;
        if (!(fields >> sec >> dot >> nsec >> hex) || fields.get() != ' ' || !std::getline(fields, r.path)) continue;
        r.when = std::chrono::steady_clock::time_point(std::chrono::seconds(sec) + std::chrono::nanoseconds(nsec));
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            r.bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        out.push_back(r);
    }
    return out;
}

// Records written by the preload: kind, level, tag and text separated by 0x1F, ended by 0x1E.
std::vector<LogRecord> Process::logs() const {
    std::vector<LogRecord> out;
    std::ifstream in(log_path_, std::ios::binary);
    std::string rec;
    while (std::getline(in, rec, '\x1e')) {
        std::vector<std::string> f;
        size_t pos = 0, sep;
        while (f.size() < 3 && (sep = rec.find('\x1f', pos)) != std::string::npos) {
            f.push_back(rec.substr(pos, sep - pos));
            pos = sep + 1;
        }
        if (f.size() != 3) continue;
        LogRecord r;
        r.kind = f[0] == "A" ? LogRecord::android : LogRecord::kernel;
        r.level = std::atoi(f[1].c_str());
        r.tag = f[2];
        r.text = rec.substr(pos);
        out.push_back(r);
    }
    return out;
}

void Process::send_signal(int sig) {
    if (status_ < 0) kill(pid_, sig);
}

}  // namespace testbed
