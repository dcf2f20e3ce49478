// Text and JSON renderings of the parts' sections.
#include "boardsim_report.h"

#include <stdio.h>

#include <fstream>

namespace boardsim {

namespace {

std::string indented(const std::string& line) { return "  " + line + "\n"; }

constexpr char kPriorities[] = "??VDIWEF";  // Android priorities 2-7: verbose to fatal

}  // namespace

void Report::add(Board part, const Section& s, const std::vector<std::pair<std::string, std::string>>& files,
                 bool used) {
    text_ += s.title + "\n";
    text_ += indented("how to read: " + s.notation);
    text_ += indented("outcome: " + (used ? s.outcome : "not used by COMMAND"));
    for (const auto& l : s.lines) text_ += indented(l);
    Json facts = {{"part", board_name(part)}, {"used", used}, {"outcome", used ? s.outcome : "not used"}};
    for (const auto& f : s.facts.items()) facts[f.key()] = f.value();
    facts["text"] = s.lines;
    parts_.push_back(facts);
    for (const auto& f : files) {
        files_.push_back(f);
        text_ += indented(report_dir_.empty() ? "file " + f.first + ": give --report DIR for it"
                                              : "file " + report_dir_ + "/" + f.first);
    }
}

void Report::add_logs(const testbed::Process& process) {
    const auto logs = process.logs();
    text_ += "boardsim logs: what the programs wrote to the Android log and the kernel log\n";
    text_ += indented("how to read: android PRIORITY/TAG: text (V D I W E F), or kernel level N: text");
    text_ += indented("log lines the programs wrote: " + (logs.empty() ? std::string("none") : std::to_string(logs.size())));
    for (const auto& r : logs) {
        std::string text = r.text;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        const bool android = r.kind == testbed::LogRecord::android;
        if (android)
            text_ += indented("  android " +
                              (r.level >= 2 && r.level <= 7 ? std::string(1, kPriorities[r.level]) : std::to_string(r.level)) +
                              "/" + r.tag + ": " + text);
        else
            text_ += indented("  kernel level " + std::to_string(r.level) + ": " + text);
        logs_.push_back({{"log", android ? "android" : "kernel"}, {"level", r.level}, {"tag", r.tag}, {"text", text}});
    }
}

void Report::set_run(const Options& o, int status, bool timed_out, double clock_factor) {
    json_ = {{"board", board_name(o.board)},
             {"command", o.command},
             {"exit_status", status},
             {"timed_out", timed_out},
             {"clock_factor", clock_factor},
             {"parts", parts_},
             {"logs", logs_}};
}

std::string Report::text() const { return text_; }

void Report::deliver() const {
    if (report_dir_.empty()) {
        fputs(text_.c_str(), stderr);
        return;
    }
    std::vector<std::pair<std::string, std::string>> files = files_;
    files.emplace_back("report.json", json_.dump(2) + "\n");
    files.emplace_back("report.txt", text_);
    for (const auto& f : files) {
        const std::string path = report_dir_ + "/" + f.first;
        std::ofstream out(path, std::ios::binary);
        out << f.second;
        if (!out.flush()) fprintf(stderr, "boardsim: cannot write %s\n", path.c_str());
    }
    fprintf(stderr, "boardsim: report in %s/report.txt\n", report_dir_.c_str());
}

}  // namespace boardsim
