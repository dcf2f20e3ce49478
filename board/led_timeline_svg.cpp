// LED timeline picture: one row per channel; yellow shade = level, green / grey = toggle output
// on / off, blue = chip-timed sequence running; red lines = the marks, labelled under the axis.
#include "led_timeline_svg.h"

#include <cstdio>

namespace board {

namespace {

constexpr int kRowH = 28, kLeft = 90, kWidth = 900, kTop = 40;

struct Snapshot {
    double t;  // seconds from start
    ChannelView ch[10];
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

}  // namespace

std::string led_timeline_svg(const std::vector<RegWrite>& writes, std::chrono::steady_clock::time_point start,
                             std::chrono::steady_clock::time_point end, const std::vector<TimelineMark>& marks) {
    uint8_t regs[256] = {};
    std::vector<Snapshot> snaps;
    auto secs = [&](std::chrono::steady_clock::time_point p) {
        return std::chrono::duration<double>(p - start).count();
    };
    auto take = [&](double t) {
        Snapshot s;
        s.t = t;
        for (int n = 0; n < 10; ++n) s.ch[n] = view_of(regs, n);
        if (!snaps.empty() && snaps.back().t == t)
            snaps.back() = s;
        else
            snaps.push_back(s);
    };
    take(0);
    for (const auto& w : writes) {
        if (!w.accepted) continue;
        regs[w.bytes[0]] = w.bytes[1];
        take(std::max(0.0, secs(w.when)));
    }
    double total = std::max(secs(end), snaps.back().t + 0.1);
    for (const auto& m : marks) total = std::max(total, secs(m.when) + 0.1);
    double scale = kWidth / total;

    std::string svg;
    char buf[512];
    const int axis = kTop + 10 * kRowH;
    int height = axis + (marks.empty() ? 40 : 60);
    snprintf(buf, sizeof buf,
             "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" font-family=\"sans-serif\" font-size=\"12\">\n"
             "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
             "<text x=\"10\" y=\"20\">/dev/aw9110_1_dev over %.1f s: yellow = level, green = toggle output on, "
             "blue = chip-timed sequence, grey = toggle output off%s</text>\n",
             kLeft + kWidth + 20, height, total, marks.empty() ? "" : ", red = command received");
    svg += buf;
    for (int n = 0; n < 10; ++n) {
        int y = kTop + n * kRowH;
        snprintf(buf, sizeof buf, "<text x=\"10\" y=\"%d\">channel %d</text>\n", y + 18, n);
        svg += buf;
        for (size_t i = 0; i < snaps.size(); ++i) {
            double t0 = snaps[i].t, t1 = i + 1 < snaps.size() ? snaps[i + 1].t : total;
            if (t1 <= t0) continue;
            const ChannelView& c = snaps[i].ch[n];
            const char* fill;
            double opacity = 1.0;
            if (c.enabled && c.sequence) {
                fill = "#3060ff";
            } else if (c.enabled) {
                fill = c.output_on ? "#20b040" : "#cccccc";
            } else {
                fill = "#ffcc00";
                opacity = c.level / 255.0;
            }
            snprintf(buf, sizeof buf,
                     "<rect x=\"%.2f\" y=\"%d\" width=\"%.2f\" height=\"%d\" fill=\"%s\" fill-opacity=\"%.3f\"/>\n",
                     kLeft + t0 * scale, y + 4, (t1 - t0) * scale, kRowH - 8, fill, opacity);
            svg += buf;
        }
    }
    for (int s = 0; s <= static_cast<int>(total); ++s) {
        double x = kLeft + s * scale;
        snprintf(buf, sizeof buf,
                 "<line x1=\"%.2f\" y1=\"%d\" x2=\"%.2f\" y2=\"%d\" stroke=\"#888\"/><text x=\"%.2f\" y=\"%d\">%ds</text>\n",
                 x, axis, x, axis + 6, x - 6, axis + 20, s);
        svg += buf;
    }
    for (const auto& m : marks) {
        double x = kLeft + std::max(0.0, secs(m.when)) * scale;
        snprintf(buf, sizeof buf,
                 "<line x1=\"%.2f\" y1=\"%d\" x2=\"%.2f\" y2=\"%d\" stroke=\"#e02020\"/>"
                 "<text x=\"%.2f\" y=\"%d\" fill=\"#e02020\">%s</text>\n",
                 x, kTop, x, axis + 26, x - 4, axis + 40, m.label.c_str());
        svg += buf;
    }
    svg += "</svg>\n";
    return svg;
}

}  // namespace board
