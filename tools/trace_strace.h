// A capture made with strace on a real board, read as a device trace (docs/traces.md,
// "Captures from a real board"): the calls on the board's devices become the trace's events.
#pragma once

#include <string>

#include "trace_file.h"

namespace boardsim {

// Whether text reads as strace's output: its first line that is not empty is one of strace's.
bool looks_like_strace(const std::string& text);

// The capture's events. False with *error ("line N: ...") on a line that cannot be read or
// whose bytes strace cut short (-s too small).
bool import_capture(const std::string& text, Trace* out, std::string* error);

}  // namespace boardsim
