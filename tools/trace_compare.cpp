#include "trace_compare.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <vector>

#include "trace_decode.h"
#include "trace_decoders.h"

namespace boardsim {

namespace {

constexpr size_t kContext = 3;                // messages shown before a difference
constexpr double kMaxToleranceSeconds = 86400;
constexpr double kMicro = 1e6;

long long micros(double seconds) { return llround(seconds * kMicro); }

std::string seconds_text(long long us) {
    char text[32];
    snprintf(text, sizeof text, "%lld.%06lld s", us / 1000000, us % 1000000);
    return text;
}

struct Device {
    std::string name;
    std::vector<const TraceMessage*> golden, fresh;
};

// The pause before message i: from the device's message before it (from the start for the first).
long long pause_before(const std::vector<const TraceMessage*>& ms, size_t i) {
    return micros(ms[i]->time) - (i ? micros(ms[i - 1]->time) : 0);
}

// "TIME DIR TEXT", without the block's bytes (the difference names the byte).
std::string shown(const TraceMessage& m) {
    char time[32];
    snprintf(time, sizeof time, "%.6f ", m.time);
    return time + (m.dir.empty() ? "" : m.dir + " ") + m.text;
}

// Why message i of the device differs from golden's; "" when it is the same.
std::string difference(const Device& d, size_t i, const CompareOptions& o) {
    const TraceMessage& g = *d.golden[i];
    const TraceMessage& n = *d.fresh[i];
    if (g.dir != n.dir || g.text != n.text) return "  new:    " + shown(n) + "\n  golden: " + shown(g) + "\n";
    if (g.data != n.data) {
        for (size_t k = 0; k < g.data.size() && k < n.data.size(); ++k)
            if (g.data[k] != n.data[k])
                return "  new:    " + shown(n) + ": byte " + std::to_string(k) + " is " + hex2(n.data[k]) +
                       ", golden " + hex2(g.data[k]) + "\n";
        return "  new:    " + shown(n) + ": " + std::to_string(n.data.size()) + " bytes, golden " +
               std::to_string(g.data.size()) + "\n";
    }
    if (o.timing) {
        const long long pn = pause_before(d.fresh, i), pg = pause_before(d.golden, i);
        if (llabs(pn - pg) > o.tolerance_us)
            return "  new:    " + shown(n) + ": pause " + seconds_text(pn) + ", golden " + seconds_text(pg) +
                   ", more than " + seconds_text(o.tolerance_us) + " apart\n";
    }
    return "";
}

}  // namespace

bool parse_tolerance(const std::string& text, long long* us) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return false;
    char* end = nullptr;
    errno = 0;
    const double v = strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(v >= 0) || v > kMaxToleranceSeconds) return false;
    *us = micros(v);
    return true;
}

bool compare_traces(const Trace& golden, const Trace& fresh, const CompareOptions& options, std::string* report) {
    const std::vector<TraceMessage> gm = decode_trace(golden), nm = decode_trace(fresh);
    std::vector<Device> devices;
    std::map<std::string, size_t> index;
    auto device = [&](const std::string& name) -> Device& {
        auto it = index.find(name);
        if (it == index.end()) {
            it = index.emplace(name, devices.size()).first;
            devices.push_back(Device{name, {}, {}});
        }
        return devices[it->second];
    };
    for (const TraceMessage& m : gm) device(m.device).golden.push_back(&m);
    for (const TraceMessage& m : nm) device(m.device).fresh.push_back(&m);

    std::string out, summary;
    bool same = true;
    for (const Device& d : devices) {
        const size_t common = std::min(d.golden.size(), d.fresh.size());
        size_t at = 0;
        std::string why;
        for (; at < common && why.empty(); ++at) why = difference(d, at, options);
        if (!why.empty()) --at;
        if (why.empty() && d.golden.size() != d.fresh.size()) {
            why = at < d.fresh.size() ? "  new:    " + shown(*d.fresh[at]) + "\n  golden: (ends here)\n"
                                      : "  new:    (ends here)\n  golden: " + shown(*d.golden[at]) + "\n";
        }
        summary += d.name + ": " + std::to_string(d.fresh.size()) + (d.fresh.size() == 1 ? " message" : " messages") + ", golden " + std::to_string(d.golden.size());
        if (why.empty()) {
            summary += ", the same\n";
            continue;
        }
        same = false;
        summary += ", different from message " + std::to_string(at + 1) + "\n";
        out += d.name + ": first difference at message " + std::to_string(at + 1) + "\n";
        for (size_t c = at > kContext ? at - kContext : 0; c < at; ++c) out += "          " + shown(*d.fresh[c]) + "\n";
        out += why;
    }
    *report = out + summary + (same ? "the traces are the same\n" : "the traces differ\n");
    return same;
}

}  // namespace boardsim
