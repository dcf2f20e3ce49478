// --trace FILE: the run's device trace (docs/traces.md). The processes under the board append
// their events into a file of the bed's; after the run boardsim writes FILE: the header, then
// those events in the order the calls returned.
#pragma once

#include <string>

#include "boardsim_options.h"

namespace boardsim {

// Before the run: whether FILE can be written (a new one is not left behind). False with
// *error ("cannot write FILE: Permission denied").
bool check_trace_file(const std::string& path, std::string* error);

// After the run: the header (the board and COMMAND as given) and the events of events_path.
bool write_trace_file(const Options& options, const std::string& events_path, std::string* error);

}  // namespace boardsim
