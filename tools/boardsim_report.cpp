// Text and JSON renderings of the parts' sections.
#include "boardsim_report.h"

#include "boardsim_run.h"

namespace boardsim {

namespace {

std::string indented(const std::string& line) { return "  " + line + "\n"; }

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
    text_ += "boardsim logs: what the programs wrote to the Android log and the kernel log\n";
    text_ += indented("how to read: android PRIORITY/TAG: text (V D I W E F), or kernel level N: text");
    text_ += log_section(process);
    for (const auto& r : process.logs()) {
        std::string text = r.text;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        logs_.push_back({{"log", r.kind == testbed::LogRecord::android ? "android" : "kernel"},
                         {"level", r.level},
                         {"tag", r.tag},
                         {"text", text}});
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

void Report::deliver(const Options& o) const {
    std::vector<std::pair<std::string, std::string>> files = files_;
    files.emplace_back("report.json", json_.dump(2) + "\n");
    deliver_report(o, text_, files);
}

}  // namespace boardsim
