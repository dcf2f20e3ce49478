// --replay FILE: the recorded trace that drives the parts whose devices it holds, shared by
// them for the run, and the report section of a replayed part.
#pragma once

#include <string>
#include <vector>

#include "boardsim_part.h"
#include "trace_file.h"
#include "trace_replay.h"

namespace boardsim {

struct ReplaySource {
    std::string file;
    Trace trace;
    board::ReplaySession session;
};

// The part's section under replay: the file, the requests matched of those recorded on each of
// devices, and the first difference (or none). The models' own lines do not apply.
Section replay_section(const std::string& title, const ReplaySource& source, const std::vector<std::string>& devices);

}  // namespace boardsim
