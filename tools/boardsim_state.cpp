// The state file: {"format": "boardsim-board-state", "version": 1, "leds": {...}, "touch": {...},
// "mcu": {...}}, one object per part, as each part saves it; a part missing from it starts from
// its defaults. Written as the user who runs boardsim could write it, keeping the file's mode.
#include "boardsim_state.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>

#include "boardsim_run.h"

namespace boardsim {

namespace {

const char* const kFormat = "boardsim-board-state";
constexpr int kVersion = 1;
constexpr mode_t kNewFileMode = 0666;  // as any program makes a file, less the umask
const char* const kTempSuffix = ".XXXXXX";

// The keys of a state besides the parts'.
bool known_key(const std::string& key) {
    if (key == "format" || key == "version") return true;
    for (Board b : {Board::leds, Board::touch, Board::mcu})
        if (key == board_name(b)) return true;
    return false;
}

}  // namespace

bool StateFile::load(const std::vector<std::unique_ptr<Part>>& parts, std::string* error) {
    if (path_.empty()) return true;
    if (access(path_.c_str(), F_OK) != 0 && errno == ENOENT) return true;  // a new board
    std::string text;
    if (!read_file(path_, &text)) {
        *error = std::string("cannot be read: ") + strerror(errno);
        return false;
    }
    Json doc = Json::parse(text, nullptr, false);
    if (doc.is_discarded()) {
        *error = "not JSON (a corrupt file?); it is left as it is";
        return false;
    }
    if (!doc.is_object() || doc.value("format", "") != kFormat) {
        *error = std::string("not a boardsim board state (no \"format\": \"") + kFormat + "\"); it is left as it is";
        return false;
    }
    if (doc.value("version", 0) != kVersion) {
        *error = "a board state of another version than " + std::to_string(kVersion) + "; it is left as it is";
        return false;
    }
    for (const auto& item : doc.items()) {
        if (!known_key(item.key())) {
            *error = "holds \"" + item.key() + "\", which is no part of the board; it is left as it is";
            return false;
        }
    }
    for (const auto& p : parts) {
        const char* name = board_name(p->kind());
        if (!doc.contains(name)) continue;
        try {
            p->load(doc.at(name));
        } catch (const std::exception& e) {
            *error = std::string("the ") + name + " state does not fit the board (" + e.what() + "); it is left as it is";
            return false;
        }
    }
    doc_ = std::move(doc);
    return true;
}

bool StateFile::check_writable(std::string* error) {
    if (path_.empty()) return true;
    const mode_t mask = umask(0);
    umask(mask);
    mode_ = kNewFileMode & ~mask;
    struct stat st;
    if (stat(path_.c_str(), &st) == 0) {
        mode_ = st.st_mode & 07777;
        // The rename would replace it, but the user made it read-only: it is not ours to change.
        if (access(path_.c_str(), W_OK) != 0) {
            *error = std::string("cannot be saved (the file is read-only to you: ") + strerror(errno) + ")";
            return false;
        }
    }
    // As save() will: a new file beside it, made with the user's own rights.
    std::string tmp = path_ + kTempSuffix;
    const int fd = mkstemp(&tmp[0]);
    if (fd < 0) {
        *error = std::string("cannot be saved (no file can be made beside it: ") + strerror(errno) + ")";
        return false;
    }
    close(fd);
    unlink(tmp.c_str());
    return true;
}

bool StateFile::save(const std::vector<std::unique_ptr<Part>>& parts, std::string* error) {
    if (path_.empty()) return true;
    doc_["format"] = kFormat;
    doc_["version"] = kVersion;
    for (const auto& p : parts) doc_[board_name(p->kind())] = p->save();
    const std::string text = doc_.dump(1) + "\n";
    std::string tmp = path_ + kTempSuffix;
    int fd = mkstemp(&tmp[0]);
    if (fd < 0) {
        *error = std::string("cannot write beside it: ") + strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    int err = done < text.size() ? (errno ? errno : EIO) : 0;
    if (!err && (fchmod(fd, mode_) != 0 || fsync(fd) != 0)) err = errno;
    if (close(fd) != 0 && !err) err = errno;
    if (err != 0 || rename(tmp.c_str(), path_.c_str()) != 0) {
        *error = std::string("cannot be saved: ") + strerror(err ? err : errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace boardsim
