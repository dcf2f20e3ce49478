// The report section of a replayed part.
#include "boardsim_replay.h"

namespace boardsim {

Section replay_section(const std::string& title, const ReplaySource& source, const std::vector<std::string>& devices) {
    Section s;
    s.title = title;
    s.notation = "a replay: the part's devices answered as recorded in the trace, not as the model would; "
                 "a request is a write, read, ioctl or line setting (serial writes in a row count as one)";
    std::string recorded_on = "boardsim " + source.trace.board + " --";
    for (const std::string& w : source.trace.command) recorded_on += " " + w;
    s.lines.push_back("replay of " + source.file + " (recorded as " + recorded_on + ")");
    size_t matched = 0, recorded = 0;
    Json per_device = Json::array();
    for (const std::string& d : devices) {
        const size_t m = source.session.matched_on(d);
        const size_t r = source.session.recorded_on(d);
        matched += m;
        recorded += r;
        s.lines.push_back("  " + d + ": " + std::to_string(m) + " of " + std::to_string(r) + " recorded requests matched");
        per_device.push_back({{"device", d}, {"requests_matched", m}, {"requests_recorded", r}});
    }
    const std::string difference = source.session.difference();
    if (!difference.empty()) {
        s.lines.push_back("the replay ended at the first difference: " + difference);
        s.outcome = "replay stopped at a difference";
    } else {
        s.lines.push_back("no difference: every request made matched the recording");
        s.outcome = matched == recorded ? "replayed as recorded" : "replayed without a difference, recording not used up";
    }
    s.facts = {{"replay",
                {{"file", source.file},
                 {"requests_matched", matched},
                 {"requests_recorded", recorded},
                 {"devices", per_device},
                 {"difference", difference.empty() ? Json(nullptr) : Json(difference)}}}};
    return s;
}

}  // namespace boardsim
