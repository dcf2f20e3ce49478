// The simulated sysfs GPIO directory: "export", "unexport" and gpioN/direction as FIFOs under
// the bed's /sys, so that every line a shell command writes is recorded with its time, in the
// order of the writers' closes (inotify).
// Export creates nothing: the gpioN directories exist from the start.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace board {

struct GpioWrite {
    std::string file;   // relative to class/gpio: "export", "unexport", "gpio117/direction"
    std::string value;  // the line written, without its newline: "119", "high", "in"
    std::chrono::steady_clock::time_point when;
};

class SysfsGpio {
public:
    using Listener = std::function<void(const GpioWrite&)>;
    // sys_dir: the host directory the program sees as /sys.
    explicit SysfsGpio(const std::string& sys_dir, const std::vector<int>& gpios = {13, 117, 119});
    ~SysfsGpio();
    SysfsGpio(const SysfsGpio&) = delete;
    SysfsGpio& operator=(const SysfsGpio&) = delete;

    // Called on the model's thread for every write, after it is recorded.
    void set_listener(Listener listener);
    std::vector<GpioWrite> writes() const;
    // The writes as "file=value" texts, e.g. "gpio117/direction=high".
    std::vector<std::string> write_texts() const;

private:
    struct Fifo {
        std::string file;
        int fd;
        int watch;
        std::string pending;
    };
    void run();
    std::vector<Fifo> fifos_;
    int stop_fd_;
    int inotify_fd_;
    mutable std::mutex mutex_;
    std::vector<GpioWrite> writes_;
    Listener listener_;
    std::thread thread_;
};

}  // namespace board
