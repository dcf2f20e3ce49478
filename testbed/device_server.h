// The bed's side of device_wire.h: serves the calls of programs of another word size (ARM under
// qemu-arm) to the same CharDevice objects that umockdev's handlers serve for host programs.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "char_device.h"

namespace testbed {

// Held around every CharDevice call, whichever way it came: a device sees one call at a time.
std::mutex& device_call_mutex();

class DeviceServer {
public:
    explicit DeviceServer(std::string dir);  // the folder that holds one socket per device
    ~DeviceServer();
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;

    // Listens on dir/<name> for dev (not owned). The first device starts the serving thread.
    void add(const std::string& name, CharDevice* dev);
    const std::string& dir() const { return dir_; }

private:
    void serve();
    bool answer(int fd, CharDevice* dev);

    std::string dir_;
    std::mutex mutex_;
    std::map<int, CharDevice*> listeners_;  // listening socket -> device
    int wake_[2] = {-1, -1};                // a byte here: the listener set changed, or stop
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace testbed
