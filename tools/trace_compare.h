// Two traces compared at protocol level: per device the same messages in the same order,
// whatever the pids, descriptors, program names and times; with a tolerance, the pauses too.
#pragma once

#include <string>

#include "trace_file.h"

namespace boardsim {

struct CompareOptions {
    bool timing = false;
    long long tolerance_us = 0;  // the pause before a message may differ from golden's by this much
};

// The first difference of each device with a few messages before it, then one summary line
// per device and a last verdict line. True when the traces are the same.
bool compare_traces(const Trace& golden, const Trace& fresh, const CompareOptions& options, std::string* report);
// Seconds, a decimal number from 0 to a day, to the microsecond. False for other text.
bool parse_tolerance(const std::string& text, long long* us);

}  // namespace boardsim
