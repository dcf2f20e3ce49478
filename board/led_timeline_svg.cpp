// LED timeline picture: per chip one row per channel; yellow = level (a floor of opacity keeps
// low levels visible), green / grey = toggle output on / off, blue = chip-timed sequence; a red
// cross per failed write call; labels of marks set in lanes so that none overprints another, and
// mark lines broken around the chips' labels.
#include "led_timeline_svg.h"

#include <algorithm>
#include <cstdio>

namespace board {

namespace {

constexpr int kChannels = 10;
constexpr int kRowH = 22, kLeft = 140, kWidth = 900, kTop = 56, kChipGap = 30, kLaneH = 14;
constexpr double kCharW = 7.0;         // width of one label character at font size 12
constexpr double kMinOpacity = 0.25;   // level 1 still shows
constexpr int kMaxLanes = 8;
constexpr int kRightMargin = 110;  // room for a label at the end of the run
// A chip's label (baseline 10 below the top of its band, font size 12) spans from kLabelAbove
// above the band's top to kLabelBelow under it, where its first channel row begins.
constexpr int kLabelAbove = 2, kLabelBelow = 14;

struct Snapshot {
    double t;  // seconds from start
    ChannelView ch[kChannels];
};

ChannelView view_of(const uint8_t* r, int n) {
    Aw9110Chip scratch;
    // A fresh model replays one register file; reuse its channel rules.
    for (int a = 0; a < 256; ++a) {
        uint8_t w[2] = {static_cast<uint8_t>(a), r[a]};
        if (r[a]) scratch.on_write(w, 2);
    }
    return scratch.channel(n);
}

// Lanes for labels: each label takes the first lane whose previous label ends before it starts.
std::vector<int> lanes_for(const std::vector<double>& xs, const std::vector<std::string>& labels) {
    std::vector<double> lane_end;
    std::vector<int> out;
    for (size_t i = 0; i < xs.size(); ++i) {
        size_t lane = 0;
        while (lane < lane_end.size() && lane_end[lane] > xs[i]) ++lane;
        if (lane == lane_end.size()) lane_end.push_back(0);
        lane_end[lane] = xs[i] + static_cast<double>(labels[i].size()) * kCharW + 4;
        out.push_back(static_cast<int>(std::min<size_t>(lane, kMaxLanes - 1)));
    }
    return out;
}

std::string vline(double x, int y1, int y2, const char* style) {
    char buf[160];
    snprintf(buf, sizeof buf, "<line x1=\"%.2f\" y1=\"%d\" x2=\"%.2f\" y2=\"%d\" %s/>\n", x, y1, x, y2, style);
    return buf;
}

std::string escape(const std::string& s) {
    std::string out;
    for (char c : s) out += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : std::string(1, c);
    return out;
}

}  // namespace

std::string led_timeline_svg(const std::vector<TimelineChip>& chips, std::chrono::steady_clock::time_point start,
                             std::chrono::steady_clock::time_point end, const std::vector<TimelineMark>& marks) {
    auto secs = [&](std::chrono::steady_clock::time_point p) {
        return std::max(0.0, std::chrono::duration<double>(p - start).count());
    };
    std::vector<std::vector<Snapshot>> snaps(chips.size());
    double total = std::max(secs(end), 0.1);
    for (size_t c = 0; c < chips.size(); ++c) {
        uint8_t regs[256] = {};
        auto take = [&](double t) {
            Snapshot s;
            s.t = t;
            for (int n = 0; n < kChannels; ++n) s.ch[n] = view_of(regs, n);
            if (!snaps[c].empty() && snaps[c].back().t == t)
                snaps[c].back() = s;
            else
                snaps[c].push_back(s);
        };
        take(0);
        for (const auto& w : chips[c].writes) {
            if (!w.accepted || w.bytes.size() < 2) continue;
            regs[w.bytes[0]] = w.bytes[1];
            take(secs(w.when));
        }
        total = std::max(total, snaps[c].back().t + 0.1);
    }
    for (const auto& m : marks) total = std::max(total, secs(m.when) + 0.1);
    const double scale = kWidth / total;

    // Labels: events over the top, commands under the axis, each set in lanes.
    std::vector<double> event_x, command_x;
    std::vector<std::string> event_label, command_label;
    for (const auto& m : marks) {
        (m.event ? event_x : command_x).push_back(kLeft + secs(m.when) * scale);
        (m.event ? event_label : command_label).push_back(m.label);
    }
    const std::vector<int> event_lane = lanes_for(event_x, event_label), command_lane = lanes_for(command_x, command_label);
    int event_lanes = 0, command_lanes = 0;
    for (int l : event_lane) event_lanes = std::max(event_lanes, l + 1);
    for (int l : command_lane) command_lanes = std::max(command_lanes, l + 1);

    const int chip_h = kChannels * kRowH + kChipGap;
    const int top = kTop + event_lanes * kLaneH;
    const int axis = top + static_cast<int>(chips.size()) * chip_h;
    const int height = axis + 30 + command_lanes * kLaneH + 10;
    std::string svg;
    char buf[512];
    snprintf(buf, sizeof buf,
             "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" font-family=\"sans-serif\" font-size=\"12\">\n"
             "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
             "<text x=\"10\" y=\"18\">The LED chips over %.1f s: yellow = level (paler = lower), green = toggle output on, "
             "grey = toggle output off, blue = chip-timed sequence,</text>\n"
             "<text x=\"10\" y=\"34\">red cross = a register write call that failed, red line = command the daemon read, "
             "black dashed line = the daemon's start and end</text>\n",
             kLeft + kWidth + kRightMargin, height, total);
    svg += buf;
    for (size_t c = 0; c < chips.size(); ++c) {
        const int y0 = top + static_cast<int>(c) * chip_h;
        snprintf(buf, sizeof buf, "<text x=\"10\" y=\"%d\" font-weight=\"bold\">%s%s</text>\n", y0 + 10,
                 escape(chips[c].node).c_str(), chips[c].present ? "" : ": absent (no such chip)");
        svg += buf;
        if (!chips[c].present) continue;
        for (int n = 0; n < kChannels; ++n) {
            const int y = y0 + kLabelBelow + n * kRowH;
            snprintf(buf, sizeof buf, "<text x=\"20\" y=\"%d\">channel %d</text>\n", y + 14, n);
            svg += buf;
            const auto& s = snaps[c];
            for (size_t i = 0; i < s.size(); ++i) {
                double t0 = s[i].t, t1 = i + 1 < s.size() ? s[i + 1].t : total;
                if (t1 <= t0) continue;
                const ChannelView& v = s[i].ch[n];
                const char* fill;
                double opacity = 1.0;
                if (v.enabled && v.sequence) {
                    fill = "#3060ff";
                } else if (v.enabled) {
                    fill = v.output_on ? "#20b040" : "#cccccc";
                } else if (v.level == 0) {
                    continue;  // dark
                } else {
                    fill = "#f0b000";
                    opacity = kMinOpacity + (1 - kMinOpacity) * v.level / 255.0;
                }
                snprintf(buf, sizeof buf,
                         "<rect x=\"%.2f\" y=\"%d\" width=\"%.2f\" height=\"%d\" fill=\"%s\" fill-opacity=\"%.3f\"/>\n",
                         kLeft + t0 * scale, y + 3, (t1 - t0) * scale, kRowH - 6, fill, opacity);
                svg += buf;
            }
        }
        for (const auto& w : chips[c].writes) {
            if (w.accepted) continue;
            const double x = kLeft + secs(w.when) * scale;
            const int y = y0 + 4;
            snprintf(buf, sizeof buf,
                     "<path d=\"M%.2f %d l6 6 m0 -6 l-6 6\" stroke=\"#e02020\" stroke-width=\"1.5\"/>\n", x - 3, y);
            svg += buf;
        }
    }
    for (int s = 0; s <= static_cast<int>(total); s += std::max(1, static_cast<int>(total / 20))) {
        const double x = kLeft + s * scale;
        snprintf(buf, sizeof buf,
                 "<line x1=\"%.2f\" y1=\"%d\" x2=\"%.2f\" y2=\"%d\" stroke=\"#888\"/><text x=\"%.2f\" y=\"%d\">%ds</text>\n",
                 x, axis, x, axis + 6, x - 6, axis + 20, s);
        svg += buf;
    }
    // Mark lines run over the chips' channel rows only, one segment per chip: they never cross
    // a chip's label (its node name, "absent"), however wide the font draws it.
    auto segments = [&](double x, int y_first, int y_last, const char* style) {
        std::string out;
        int from = y_first;
        for (size_t c = 0; c < chips.size(); ++c) {
            const int label_top = top + static_cast<int>(c) * chip_h - kLabelAbove;
            const int rows_top = top + static_cast<int>(c) * chip_h + kLabelBelow;
            if (from < label_top) out += vline(x, from, std::min(label_top, y_last), style);
            from = std::max(from, rows_top);
        }
        if (from < y_last) out += vline(x, from, y_last, style);
        return out;
    };
    size_t ei = 0, ci = 0;
    for (const auto& m : marks) {
        const double x = kLeft + secs(m.when) * scale;
        if (m.event) {
            const int ly = kTop - 4 + event_lane[ei++] * kLaneH;
            svg += segments(x, ly + 2, axis, "stroke=\"#000\" stroke-dasharray=\"4 3\"");
            snprintf(buf, sizeof buf, "<text x=\"%.2f\" y=\"%d\">%s</text>\n", x + 2, ly, escape(m.label).c_str());
        } else {
            const int ly = axis + 34 + command_lane[ci++] * kLaneH;
            svg += segments(x, top, ly - 10, "stroke=\"#e02020\"");
            snprintf(buf, sizeof buf, "<text x=\"%.2f\" y=\"%d\" fill=\"#e02020\">%s</text>\n", x + 1, ly,
                     escape(m.label).c_str());
        }
        svg += buf;
    }
    svg += "</svg>\n";
    return svg;
}

}  // namespace board
