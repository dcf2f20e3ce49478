// Text and JSON renderings of the parts' sections; the report folder, checked before the run and
// written after it, with the user's rights.
#include "boardsim_report.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "boardsim_run.h"

namespace boardsim {

namespace {

std::string indented(const std::string& line) { return "  " + line + "\n"; }

constexpr char kPriorities[] = "??VDIWEF";  // Android priorities 2-7: verbose to fatal

// What report.json is, for a script that reads it: raised when a fact changes its meaning.
const char* const kFormat = "boardsim-report";
constexpr int kFormatVersion = 3;
const char* const kTextFile = "report.txt";
const char* const kJsonFile = "report.json";
constexpr mode_t kFolderMode = 0777;  // less the umask, as mkdir(1) makes it

// Writes text into path; "" when done, else why not.
std::string write_whole(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return strerror(errno);
    const bool written = fwrite(text.data(), 1, text.size(), f) == text.size();
    const int err = errno;
    if (fclose(f) != 0 || !written) return strerror(written ? errno : err);
    return "";
}

}  // namespace

bool Report::prepare_folder(std::string* error) const {
    if (report_dir_.empty()) return true;
    const char* dir = report_dir_.c_str();
    struct stat st;
    int err = 0;
    // The folder and its missing parents, as mkdir -p.
    for (size_t slash = report_dir_.find('/', 1); slash != std::string::npos && !err;
         slash = report_dir_.find('/', slash + 1))
        if (mkdir(report_dir_.substr(0, slash).c_str(), kFolderMode) != 0 && errno != EEXIST) err = errno;
    if (!err && mkdir(dir, kFolderMode) != 0 && errno != EEXIST) err = errno;
    if (!err && stat(dir, &st) != 0) err = errno;
    if (!err && !S_ISDIR(st.st_mode)) err = ENOTDIR;
    if (!err && access(dir, W_OK | X_OK) != 0) err = errno;
    if (err) {
        *error = std::string("cannot write into it: ") + strerror(err);
        return false;
    }
    // A report file the user made read-only stays as it is.
    for (const char* name : {kTextFile, kJsonFile}) {
        const std::string path = report_dir_ + "/" + name;
        if (access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0) {
            *error = "cannot write " + path + ": " + strerror(errno);
            return false;
        }
    }
    return true;
}

void Report::add(Board part, const Section& s, const std::vector<std::pair<std::string, std::string>>& files,
                 bool used) {
    text_ += s.title + "\n";
    text_ += indented("how to read: " + s.notation);
    text_ += indented("outcome: " + (used ? s.outcome : "not used by COMMAND"));
    for (const auto& l : s.lines) text_ += indented(l);
    Json facts = {{"part", board_name(part)}, {"used", used}, {"outcome", used ? s.outcome : "not used"}};
    for (const auto& f : s.facts.items()) facts[f.key()] = f.value();
    facts["text"] = s.lines;
    Json names = Json::array();
    for (const auto& f : files) names.push_back(f.first);
    if (!files.empty()) facts["files"] = names;
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

void Report::set_run(const Options& o, int status, int boardsim_status, bool timed_out, double board_seconds,
                     double wall_seconds) {
    Json files = {kTextFile, kJsonFile};
    for (const auto& f : files_) files.push_back(f.first);
    json_ = {{"format", kFormat},
             {"format_version", kFormatVersion},
             {"board", board_name(o.board)},
             {"command", o.command},
             {"exit_status", status},
             {"boardsim_status", boardsim_status},
             {"timed_out", timed_out},
             {"clock", o.fast ? "virtual" : "real"},
             {"board_seconds", hundredths(board_seconds)},
             {"wall_seconds", hundredths(wall_seconds)},
             {"files", files},
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
    files.emplace_back(kJsonFile, json_.dump(2) + "\n");
    files.emplace_back(kTextFile, text_);
    bool all = true;
    for (const auto& f : files) {
        const std::string path = report_dir_ + "/" + f.first;
        const std::string err = write_whole(path, f.second);
        if (!err.empty())
            fprintf(stderr, "boardsim: --report %s: cannot write %s: %s\n", report_dir_.c_str(), path.c_str(), err.c_str());
        all = all && err.empty();
    }
    if (all) fprintf(stderr, "boardsim: report in %s/%s\n", report_dir_.c_str(), kTextFile);
}

}  // namespace boardsim
