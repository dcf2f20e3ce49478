// The MCU on the desk: the board's MCU model behind a real pty pair and the sysfs GPIO model,
// on the real clock, with no preload in the program's way. Run as root inside a private mount
// namespace whose ROOT holds a plain file at dev/ttyS1 and a folder sys: the pty's slave is
// bound onto ROOT/dev/ttyS1, the GPIO files are made under ROOT/sys/class/gpio, and COMMAND
// (which chroots into ROOT itself, e.g. "chroot ROOT strace ... coprocflash ...") runs against
// them. Ends with COMMAND's status (128 + n when signal n ended it); 2 for a bad command line,
// 1 when the desk cannot be set up.
// Usage: mcu_desk ROOT -- COMMAND [ARGS...]
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "mcu_model.h"
#include "sysfs_gpio.h"

namespace {

constexpr int kExecFailed = 127;
constexpr int kSignalBase = 128;

int fail(const char* what) {
    fprintf(stderr, "mcu_desk: %s: %s\n", what, strerror(errno));
    return 1;
}

// The pty's slave at ROOT/dev/ttyS1; the master stays here for the MCU model.
int serial_line(const std::string& root) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
    const std::string tty = root + "/dev/ttyS1";
    if (mount(ptsname(master), tty.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        close(master);
        return -1;
    }
    return master;
}

int run(char** command) {
    const pid_t child = fork();
    if (child < 0) return fail("fork");
    if (child == 0) {
        execvp(command[0], command);
        fprintf(stderr, "mcu_desk: %s: %s\n", command[0], strerror(errno));
        _exit(kExecFailed);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) return fail("waitpid");
    return WIFSIGNALED(status) ? kSignalBase + WTERMSIG(status) : WEXITSTATUS(status);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || strcmp(argv[2], "--") != 0) {
        fprintf(stderr, "usage: mcu_desk ROOT -- COMMAND [ARGS...]\n");
        return 2;
    }
    const std::string root = argv[1];
    const int master = serial_line(root);
    if (master < 0) return fail("pty onto dev/ttyS1");
    int status;
    {
        // The GPIO model after the MCU: its thread, which calls into the MCU, ends first.
        board::McuModel mcu(master);
        board::SysfsGpio gpio(root + "/sys");
        mcu.attach(gpio);
        status = run(argv + 3);
        gpio.drain();
    }
    close(master);
    return status;
}
