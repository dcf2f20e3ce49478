// The simulated sysfs GPIO directory: "export", "unexport" and gpioN/direction and gpioN/value
// as FIFOs under the bed's /sys, so that every line a shell command or a program writes is
// recorded with its time, in the order of the writers' closes (inotify). Each line keeps the
// state the kernel keeps (input, or output at a level), and a program that reads direction or
// value sees it: the bed's preload leads read-only opens to gpioN/.direction and gpioN/.value,
// which this model keeps up to date.
// Export creates nothing: the gpioN directories exist from the start, and as their presence
// tells a program (a flasher stats gpioN/value before it exports), every line takes writes as an
// exported one does, also after an unexport, which keeps the line's level.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace board {

struct GpioWrite {
    std::string file;   // relative to class/gpio: "export", "unexport", "gpio117/direction"
    std::string value;  // the text written, without its newline: "119", "high", "in", "1"
    std::chrono::steady_clock::time_point when;
    // Whether it changed a line's state as the kernel would take it (false for an unknown word,
    // a value written to an input, and export and unexport, which change no state here).
    bool applied = true;
};

// One line as the sysfs GPIO interface keeps it: an input (the board's pull-down holds it low)
// or an output at the level last set. "high" and "low" make it an output at that level in one
// step, "out" an output at low, "in" an input; a value (0, or any other integer for 1) sets the
// level of an output.
struct GpioLine {
    bool output = false;
    bool value = false;
    // Applies text written to the line's attribute ("direction" or "value"). Returns false,
    // changing nothing, where the kernel refuses the write: an unknown word, or a value written
    // to an input (or one with blanks before it).
    bool write(const std::string& attribute, const std::string& text);
    bool level() const { return output && value; }
    std::string direction_text() const { return output ? "out" : "in"; }
    std::string value_text() const { return level() ? "1" : "0"; }
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
    // The state of a line now (an unknown gpio reads as an input).
    GpioLine line(int gpio) const;
    // Takes in every write whose writer has closed the file by now, as the model's thread does
    // a moment later: whoever must see the lines as they stand (a report after the run) calls it.
    void drain();

private:
    struct Fifo {
        std::string file;
        int fd;
        int watch;
        std::string pending;
    };
    void run();
    std::string take_write(Fifo& f);
    bool apply(const GpioWrite& w);
    void publish(int gpio, const GpioLine& line);
    std::string base_;
    std::vector<Fifo> fifos_;
    int stop_fd_;
    int inotify_fd_;
    std::mutex drain_mutex_;  // one drain at a time: the FIFOs' content goes with the events
    mutable std::mutex mutex_;
    std::vector<GpioWrite> writes_;
    std::map<int, GpioLine> lines_;
    Listener listener_;
    std::thread thread_;
};

}  // namespace board
