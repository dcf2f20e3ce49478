// A program that talks to the board's device paths as the board's programs do, for captures
// made with strace at test time. It runs as root inside a private mount namespace whose root
// holds "/dev/ttyS1" (a file onto which it binds the slave of a pty pair it opens itself and
// answers through the master), "/dev/aw9110_1_dev" (a plain file), the FIFO "/data/led_pipe"
// and the folder "/sys/class/gpio". Exit status 0 when every call went as planned.
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <linux/close_range.h>

enum { kLedPrepare = 0x6b80, kWaitMs = 100, kLongWrite = 40, kPollUs = 1000, kPollTries = 5000 };

static int line_fd = -1;
static volatile pid_t reader_tid;

static int fail(const char* what) {
    perror(what);
    exit(1);
}

// Blocks in read() on the line until the master answers: strace -f splits that read in two.
static void* reader(void* unused) {
    (void)unused;
    unsigned char b[16];
    reader_tid = (pid_t)syscall(SYS_gettid);
    if (read(line_fd, b, sizeof b) != 1 || b[0] != 0x79) fail("read the answer");
    return NULL;
}

// Waits until the reader thread sleeps in its read.
static void wait_blocked(void) {
    char path[64], stat[256];
    for (int i = 0; i < kPollTries; ++i, usleep(kPollUs)) {
        if (!reader_tid) continue;
        snprintf(path, sizeof path, "/proc/self/task/%d/stat", (int)reader_tid);
        FILE* f = fopen(path, "r");
        if (!f) continue;
        const size_t n = fread(stat, 1, sizeof stat - 1, f);
        fclose(f);
        stat[n] = 0;
        const char* state = strrchr(stat, ')');
        if (state && state[1] == ' ' && state[2] == 'S') return;
    }
    fail("reader never blocked");
}

int main(void) {
    // The descriptor numbers of the capture are checked: none may come in from the caller.
    if (close_range(3, ~0U, 0)) fail("close_range");
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) || unlockpt(master)) fail("pty");
    if (mount(ptsname(master), "/dev/ttyS1", NULL, MS_BIND, NULL)) fail("bind the pty onto /dev/ttyS1");
    line_fd = open("/dev/ttyS1", O_RDWR | O_NOCTTY);
    if (line_fd < 0) fail("/dev/ttyS1");
    struct termios t;
    tcgetattr(line_fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    t.c_cflag |= PARENB;
    if (tcsetattr(line_fd, TCSANOW, &t) || tcflush(line_fd, TCIOFLUSH)) fail("line settings");
    if (write(line_fd, "\x7f", 1) != 1) fail("write the line");
    unsigned char b[64];
    if (read(master, b, 1) != 1) fail("read the master");

    pthread_t thread;
    if (pthread_create(&thread, NULL, reader, NULL)) fail("thread");
    wait_blocked();
    const int chip = open("/dev/aw9110_1_dev", O_RDWR);
    if (chip < 0) fail("/dev/aw9110_1_dev");
    ioctl(chip, kLedPrepare);
    if (write(chip, "\x02\x05", 2) != 2) fail("write the chip");
    close(chip);
    if (write(master, "\x79", 1) != 1) fail("answer");
    pthread_join(thread, NULL);

    fd_set set;
    FD_ZERO(&set);
    FD_SET(line_fd, &set);
    struct timeval wait = {0, kWaitMs * 1000};
    if (select(line_fd + 1, &set, NULL, NULL, &wait) != 0) fail("select");
    memset(b, 0x55, kLongWrite);
    if (write(line_fd, b, kLongWrite) != kLongWrite) fail("long write");

    // The reader's end first, so that the calls return in one order: its open, the writer's
    // open and write, then (after the writer's end) the read.
    const int pipe_fd = open("/data/led_pipe", O_RDONLY | O_NONBLOCK);
    if (pipe_fd < 0) fail("/data/led_pipe");
    const pid_t child = fork();
    if (child == 0) {
        const int writer = open("/data/led_pipe", O_WRONLY);
        _exit(writer >= 0 && write(writer, "\x01", 1) == 1 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (status != 0) fail("pipe writer");
    if (read(pipe_fd, b, 1) != 1 || b[0] != 1) fail("read /data/led_pipe");
    if (system("echo 13 > /sys/class/gpio/export") != 0) fail("gpio export");
    return 0;
}
