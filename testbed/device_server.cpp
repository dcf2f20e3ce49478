// Serving device_wire.h calls: one thread polls the listening sockets and the connected
// programs, reads each call whole and answers it from the device.
#include "device_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "device_wire.h"

namespace testbed {

namespace {

bool read_all(int fd, void* buf, size_t n) {
    auto* p = static_cast<char*>(buf);
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool write_all(int fd, const void* buf, size_t n) {
    const auto* p = static_cast<const char*>(buf);
    while (n > 0) {
        ssize_t r = send(fd, p, n, MSG_NOSIGNAL);  // a program that died meanwhile: no SIGPIPE
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

std::mutex& device_call_mutex() {
    static std::mutex m;
    return m;
}

DeviceServer::DeviceServer(std::string dir) : dir_(std::move(dir)) {
    mkdir(dir_.c_str(), 0755);
    if (pipe2(wake_, O_CLOEXEC) != 0) problem("device server: pipe failed");
}

DeviceServer::~DeviceServer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    if (wake_[1] >= 0 && write(wake_[1], "x", 1) != 1) problem("device server: cannot wake its thread");
    if (thread_.joinable()) thread_.join();
    for (auto& l : listeners_) close(l.first);
    for (int fd : wake_)
        if (fd >= 0) close(fd);
}

void DeviceServer::add(const std::string& name, CharDevice* dev) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = dir_ + "/" + name;
    if (path.size() >= sizeof addr.sun_path) {
        problem("device socket path too long: " + path);
        return;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, SOMAXCONN) != 0) {
        problem("device socket " + path + ": " + strerror(errno));
        if (fd >= 0) close(fd);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listeners_[fd] = dev;
    }
    if (!thread_.joinable())
        thread_ = std::thread([this] { serve(); });
    else if (write(wake_[1], "x", 1) != 1)
        problem("device server: cannot wake its thread");
}

void DeviceServer::serve() {
    std::map<int, CharDevice*> clients;
    for (;;) {
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
        std::vector<CharDevice*> devs{nullptr};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
            for (auto& l : listeners_) {
                fds.push_back({l.first, POLLIN, 0});
                devs.push_back(l.second);
            }
        }
        const size_t first_client = fds.size();
        for (auto& c : clients) fds.push_back({c.first, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            problem(std::string("device server: poll: ") + strerror(errno));
            break;
        }
        if (fds[0].revents) {
            char b[64];
            if (read(wake_[0], b, sizeof b) < 0) problem("device server: wake pipe");
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            if (i < first_client) {
                int c = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) {
                    clients[c] = devs[i];
                    devs[i]->note_open();  // the ARM program's open() of the node connected
                }
            } else if (!answer(fds[i].fd, clients[fds[i].fd])) {
                close(fds[i].fd);  // the program closed the node, or ended
                clients.erase(fds[i].fd);
            }
        }
    }
    for (auto& c : clients) close(c.first);
}

bool DeviceServer::answer(int fd, CharDevice* dev) {
    testbed_wire_call call;
    if (!read_all(fd, &call, sizeof call) || call.len > TESTBED_WIRE_MAX_BYTES) return false;
    std::vector<uint8_t> data(call.len);
    if (call.len && !read_all(fd, data.data(), data.size())) return false;
    testbed_wire_reply reply{};
    {
        std::lock_guard<std::mutex> lock(device_call_mutex());
        switch (call.op) {
        case TESTBED_WIRE_WRITE: reply.result = dev->on_write(data.data(), data.size()); break;
        case TESTBED_WIRE_READ: reply.result = dev->on_read(data.data(), data.size()); break;
        case TESTBED_WIRE_IOCTL: reply.result = dev->on_ioctl(static_cast<unsigned long>(call.request), static_cast<unsigned long>(call.arg)); break;
        default: reply.result = -EINVAL; break;
        }
    }
    notify_changed();
    if (call.op == TESTBED_WIRE_READ && reply.result > 0)
        reply.len = static_cast<uint32_t>(std::min<int64_t>(reply.result, static_cast<int64_t>(data.size())));
    return write_all(fd, &reply, sizeof reply) && write_all(fd, data.data(), reply.len);
}

}  // namespace testbed
