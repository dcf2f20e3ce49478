// --trace FILE: checking that FILE can be written, and writing it after the run.
#include "boardsim_trace.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "boardsim_run.h"
#include "trace_file.h"

namespace boardsim {

namespace {

constexpr mode_t kNewFileMode = 0666;  // less the user's umask, as a shell's "> FILE"

std::string cannot_write(const std::string& path, int err) { return "cannot write " + path + ": " + strerror(err); }

bool write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool check_trace_file(const std::string& path, std::string* error) {
    struct stat st;
    const bool existed = stat(path.c_str(), &st) == 0;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, kNewFileMode);
    if (fd < 0) return *error = cannot_write(path, errno), false;
    close(fd);
    if (!existed) unlink(path.c_str());
    return true;
}

bool write_trace_file(const Options& options, const std::string& events_path, std::string* error) {
    Trace header;
    header.board = board_name(options.board);
    header.command = options.command_given;
    std::string events;
    if (!read_file(events_path, &events)) events.clear();  // no process made a device call
    const int fd = open(options.trace_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kNewFileMode);
    if (fd < 0) return *error = cannot_write(options.trace_file, errno), false;
    const bool written = write_all(fd, format_header(header) + "\n" + events);
    const int err = errno;
    if (close(fd) != 0 || !written) return *error = cannot_write(options.trace_file, written ? errno : err), false;
    return true;
}

}  // namespace boardsim
