// The report of a run: one section per part in the order COMMAND used them, as text (one line
// on its notation per section) and as report.json with the same facts, plus the parts' files.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "boardsim_part.h"

namespace boardsim {

class Report {
public:
    explicit Report(const Options& options) : report_dir_(options.report_dir) {}
    // Before COMMAND runs (--report DIR): makes DIR and its missing parents, and checks that the
    // user can write into it and its report files. False, with the reason, when not.
    bool prepare_folder(std::string* error) const;
    void add(Board part, const Section& section, const std::vector<std::pair<std::string, std::string>>& files, bool used);
    // The Android-log and kernel-log lines COMMAND's programs wrote: a section of their own.
    void add_logs(const testbed::Process& process);
    // status: COMMAND's own exit status (128 + n after signal n); boardsim_status: boardsim's
    // (124 when --timeout interrupted COMMAND, else the same).
    // COMMAND's end; its run's length on the board's clock and on the wall clock.
    void set_run(const Options& options, int status, int boardsim_status, bool timed_out, double board_seconds,
                 double wall_seconds);
    // Into DIR/report.txt, DIR/report.json and the parts' files with --report DIR, else the text
    // on standard error (the parts' files are then not written).
    void deliver() const;
    std::string text() const;

private:
    std::string report_dir_;
    std::string text_;
    Json json_ = Json::object();
    Json parts_ = Json::array();
    Json logs_ = Json::array();
    std::vector<std::pair<std::string, std::string>> files_;
};

}  // namespace boardsim
