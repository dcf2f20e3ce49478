// The board's lasting state in a JSON file (--state FILE): loaded into the parts before the
// run, as the board was left before a reboot, and written back after it in one rename.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "boardsim_part.h"

namespace boardsim {

class StateFile {
public:
    explicit StateFile(std::string path) : path_(std::move(path)) {}
    // Gives each part its saved state. A missing file (or no path) leaves the defaults. False,
    // with the reason, for a file that cannot be read or is not a board state.
    bool load(const std::vector<std::unique_ptr<Part>>& parts, std::string* error);
    // Before COMMAND runs: whether the user can save FILE (an existing one writable, a new file
    // beside it can be made). False, with the reason, when not. Notes the mode the file keeps.
    bool check_writable(std::string* error);
    // Writes the parts' state (keeping that of parts not on this board) into a temporary file
    // beside FILE and renames it over FILE, with FILE's mode (a new one's: 0666 less the umask).
    // False, with the reason, when that fails.
    bool save(const std::vector<std::unique_ptr<Part>>& parts, std::string* error);

private:
    std::string path_;
    Json doc_ = Json::object();
    mode_t mode_ = 0644;
};

}  // namespace boardsim
