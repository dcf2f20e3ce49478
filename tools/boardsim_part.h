// One part of the simulated board (the LED chips, the touch controller, the MCU with its lines):
// it owns its models, how they are set up from the options and the saved state, what it saves,
// and its section of the report. A board is a list of parts.
#pragma once

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "bed.h"
#include "board_time.h"
#include "boardsim_options.h"

namespace boardsim {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;

struct ReplaySource;

// The board's clock (virtual under --fast, see testbed/board_time.h) from COMMAND's start: the
// report gives its times on it.
struct BoardClock {
    Clock::time_point start;
    double seconds(Clock::time_point t) const { return std::chrono::duration<double>(t - start).count(); }
};

// What a finished run leaves for the report.
struct RunRecord {
    const testbed::Process& process;
    BoardClock clock;
    Clock::time_point end;  // on the board's clock
};

// One part's section of the report: the text lines and the same facts for machines.
struct Section {
    std::string title;     // "boardsim touch: what the touch controller saw"
    std::string notation;  // one line on how to read the section
    std::string outcome;   // in a few words: what the run did to the part
    std::vector<std::string> lines;
    Json facts = Json::object();
};

class Part {
public:
    virtual ~Part() = default;
    virtual Board kind() const = 0;
    // Takes the part's saved state (before set_up). Throws on a state that does not fit.
    virtual void load(const Json& state) = 0;
    // The part's lasting state after the run.
    virtual Json save() const = 0;
    // --replay: takes the recording when it holds one of the part's devices, which it then
    // drives instead of the models (before set_up); false when it holds none of them.
    virtual bool replay(ReplaySource& source) {
        (void)source;
        return false;
    }
    // Puts the models on the bed.
    virtual void set_up(testbed::Bed& bed) = 0;
    // Runs beside COMMAND (on its own thread), e.g. to write into the daemon's pipe.
    virtual void beside(testbed::Process& process, const BoardClock& clock) {
        (void)process;
        (void)clock;
    }
    // COMMAND has ended: what runs beside it stops (asked before the beside threads are joined).
    virtual void command_ended() {}
    // When COMMAND first reached the part; false when it never did.
    virtual bool first_use(Clock::time_point* when) const = 0;
    virtual Section report(const RunRecord& run) const = 0;
    // What of the part is at work now, in a few words ("the MCU's bootloader"); "" when it rests.
    // Asked from the waiting thread while COMMAND runs.
    virtual std::string activity() const { return ""; }
    // After COMMAND ended: lets the models take in what is still on its way to them.
    virtual void after_run() {}
    // Ends the models' threads, before the bed goes.
    virtual void tear_down() {}
    // Further report files (name, content), written with --report.
    virtual std::vector<std::pair<std::string, std::string>> files(const RunRecord& run) const {
        (void)run;
        return {};
    }
};

std::unique_ptr<Part> make_leds_part(const Options& options);
std::unique_ptr<Part> make_touch_part(const Options& options);
std::unique_ptr<Part> make_mcu_part(const Options& options);

class StateFile;

// A board made of the parts the options name.
class BoardRun {
public:
    explicit BoardRun(const Options& options);
    ~BoardRun();
    // Before anything runs: loads the recording (--replay) and the saved state (--state), checks that the state file and the
    // working folders in $TMPDIR can be written; false after printing the one line on what is wrong.
    bool load_state();
    // Runs COMMAND on the board and returns its exit status (124 when --timeout ended it).
    int run(bool private_mounts);

private:
    bool load_replay();
    const Options& o_;
    std::unique_ptr<ReplaySource> replay_;  // shared by the replayed parts: outlives them
    std::vector<std::unique_ptr<Part>> parts_;
    std::unique_ptr<StateFile> state_;
};

}  // namespace boardsim
