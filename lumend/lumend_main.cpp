// lumend entry: initial command, chip start-up state, the pattern thread, and the command
// pipe "/data/led_pipe" (one raw byte per command, 0xFF ends the daemon).
#include <cutils/klog.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "aw9110_lib.h"
#include "led_cmd.h"
#include "led_pattern.h"


static const char kPipePath[] = "/data/led_pipe";
static const mode_t kPipeMode = 0766;
static const int kKlogLevel = 6;
static const unsigned kExitGraceSec = 1;  // lets the pattern thread run one cycle with 0xFF

// Chip 1 level registers written at start-up, in this order (7-9 are left alone).
static const int kChip1StartChannels[] = {0, 1, 2, 5, 6, 4, 3};

static void chips_known_state(void) {
    aw9110_stop_sequence(0);
    aw9110_disable_all(0);
    aw9110_stop_sequence(1);
    aw9110_disable_all(1);
    for (int ch : kChip1StartChannels) aw9110_set_level(1, ch, 0);
}

// Opens the pipe for reading, which blocks until its first writer. Then the daemon holds a
// write end of the FIFO itself: the last writer's close never reads as end of file, so the
// pipe is never reopened and a writer that comes and goes meanwhile loses nothing.
static int open_pipe(void) {
    klog_write(kKlogLevel, "<6>touch_test: Process(%d) open the pip in O_RDONLY mode.\n", getpid());
    int fd = open(kPipePath, O_RDONLY);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) open(kPipePath, O_WRONLY | O_NONBLOCK);
    return fd;
}

// Blocks until one command byte arrives. A path that is not a FIFO is read to its end once;
// after that no command can come, so wait without spinning or replaying. A FIFO reaches its
// end only if its write end could not be held: then reopen, which blocks until the next writer.
static int read_command(int* fd, uint8_t* byte) {
    for (;;) {
        ssize_t n = read(*fd, byte, 1);
        if (n == 1) return 0;
        if (n < 0 && errno == EINTR) continue;
        struct stat st;
        if (fstat(*fd, &st) == 0 && !S_ISFIFO(st.st_mode)) {
            printf("kavo : %s is not a fifo, no more commands\n", kPipePath);
            for (;;) pause();
        }
        close(*fd);
        *fd = open_pipe();
        if (*fd < 0) {
            printf("kavo : Open fifo file: %s error!\n", kPipePath);
            return -1;
        }
    }
}

int main(int argc, char** argv) {
    // Init scripts send the daemon's output to a log file or a logger: each line must reach
    // it when printed (by either thread), not when a 4 KiB stdio buffer fills or never.
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (argc == 2) {
        led_cmd_store((uint8_t)atoi(argv[1]));
        printf("kavo : receive led command = %d\n", led_cmd_load());
    }
    if (aw9110_open_devices() != AW9110_OK) exit(1);
    chips_known_state();

    pthread_t thread;
    if (pthread_create(&thread, NULL, led_pattern_thread, NULL) != 0) {
        klog_write(kKlogLevel, "<6>touch_test: create pthread error\n");
        exit(255);
    }
    puts("kavo : create thread ok.");

    if (access(kPipePath, F_OK) != 0 && mkfifo(kPipePath, kPipeMode) != 0) {
        klog_write(kKlogLevel, "<6>touch_test: can't creat pipe file: %s\n", kPipePath);
        printf("can't creat pipe file: %s\n", kPipePath);
        exit(1);
    }
    int fd = open_pipe();
    if (fd < 0) {
        printf("kavo : Open fifo file: %s error!\n", kPipePath);
        exit(1);
    }
    uint8_t byte = 0;
    do {
        if (read_command(&fd, &byte) != 0) exit(1);
        printf("kavo : touch led recieve command : %d\n", byte);
        led_cmd_store(byte);
    } while (byte != LED_CMD_EXIT);

    sleep(kExitGraceSec);
    puts("kavo : Recieve exit signal, exit");
    close(fd);
    exit(0);
}
