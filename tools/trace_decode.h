// The protocol messages of a device trace: each device's calls and byte streams read as the
// frames, registers, lines and commands they carry, for `boardsim decode` and `compare`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "trace_file.h"

namespace boardsim {

struct TraceMessage {
    double time = 0;        // the time of the event that completed it
    std::string device;
    std::string dir;        // "->" host to device, "<-" device to host, "" a call on the device
    std::string text;       // what the message is; pids, descriptors and times stay out of it
    std::vector<uint8_t> data;  // a block the message carries (firmware bytes), shown in hex
    int line = 0;           // the trace line of that event
};

// Every device's messages, in event order. Bytes that form no frame come as "raw" messages.
std::vector<TraceMessage> decode_trace(const Trace& trace);
// One line: TIME DEVICE [DIR] TEXT[: HEX].
std::string format_message(const TraceMessage& m);

}  // namespace boardsim
