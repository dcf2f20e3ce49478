// coprocflash: brings a new firmware image into the MCU. Loads the image, gates on the
// running version, then runs up to three passes of bootloader entry, erase, write and restart.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mcu_bloader.h"
#include "qvn_version.h"

namespace {

// A failing step is retried from the bootloader entry: three passes in all.
constexpr int kUpdatePasses = 3;

// The interrupt handler: everything it calls is async-signal-safe, so it may arrive inside
// printf, malloc or a serial exchange. Standard output is unbuffered (see main), so nothing
// printed before the signal is lost by _exit.
void on_sigint(int) {
    mcu_deinit_from_signal();
    static const char kLine[] = "close uart, exit success\n";
    ssize_t n = write(STDOUT_FILENO, kLine, sizeof kLine - 1);
    (void)n;
    _exit(1);
}

int install_sigint_handler() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    return sigaction(SIGINT, &sa, nullptr);
}

int run_update_passes(const uint8_t* image, int size) {
    int result = -1;
    for (int pass = 0; pass < kUpdatePasses; ++pass) {
        if ((result = mcu_bootloader()) != 0) {
            puts("mcu enter bootloader fail");
            continue;
        }
        if ((result = mcu_erase_all()) != 0) {
            puts("mcu erase all memory fail");
            continue;
        }
        if ((result = mcu_update_programe(image, size, MCU_PROGRAM_WHOLE)) != 0) {
            puts("mcu update programe fail");
            continue;
        }
        if ((result = mcu_run()) != 0) {
            puts("mcu run fail");
            continue;
        }
        return 0;
    }
    puts("mcu upgrade error");
    return result;
}

// The MCU session, from mcu_init to the update result; mcu_deinit is the caller's.
int update_mcu(const char* version, const uint8_t* image, int size) {
    int r = mcu_init();
    if (r != 0) {
        puts("mcu init fail");
        return r;
    }
    if (install_sigint_handler() != 0) {
        puts("cannot catch SIGNIT");
        return -1;
    }
    if (version != nullptr && (r = qvn_version_check(version)) != 0) {
        puts("mcu already new version!");
        return r;
    }
    return run_update_passes(image, size);
}

}  // namespace

int main(int argc, char** argv) {
    // Unbuffered: every printf reaches the console at once, and the interrupt handler's lines
    // keep their place among them.
    setvbuf(stdout, nullptr, _IONBF, 0);
    puts("--------start--------");
    if (argc < 2) {
        printf("Usage : %s [file_path]\n", argv[0]);
        return -1;
    }
    const char* path = argv[1];
    const char* version = nullptr;
    if (argc == 3) {
        version = argv[2];
        printf("will upgrade version : %s\n", version);
        // A version the parser cannot hold would gate on garbage: refuse it before the MCU.
        if (!qvn_version_valid(version)) {
            printf("version text not supported : %s\n", version);
            puts("--------end--------");
            return -1;
        }
    }

    int result = -1;
    uint8_t* image = nullptr;
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        printf("open file [%s] failed\n", path);
        puts("--------end--------");
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        puts("--------end--------");
        return -1;
    }
    // The size is kept as a signed 32-bit count: a file beyond that is refused before any use.
    if (st.st_size > INT_MAX) {
        printf("image file too large : %lld bytes, the update erases %d\n", static_cast<long long>(st.st_size),
               MCU_ERASED_BYTES);
        close(fd);
        puts("--------end--------");
        return -1;
    }
    const int fm_size = static_cast<int>(st.st_size);
    image = static_cast<uint8_t*>(malloc(fm_size > 0 ? static_cast<size_t>(fm_size) : 1));
    if (image == nullptr) {
        puts("malloc memory fail");
    } else {
        int ret_size = static_cast<int>(read(fd, image, static_cast<size_t>(fm_size)));
        printf("read file : fm_size=%d, ret_size=%d\n", fm_size, ret_size);
        if (ret_size != fm_size) {
            printf("read file fail : fm_size=%d, ret_size=%d\n", fm_size, ret_size);
            // The count is the status, but a failed read never ends with 0.
            result = (ret_size & 0xFF) != 0 ? ret_size : -1;
        } else if (fm_size == 0) {
            puts("image file is empty, nothing to program");
        } else if (fm_size > MCU_ERASED_BYTES) {
            printf("image file too large : %d bytes, the update erases %d\n", fm_size, MCU_ERASED_BYTES);
        } else {
            result = update_mcu(version, image, fm_size);
            mcu_deinit();
        }
    }
    free(image);
    close(fd);
    puts("--------end--------");
    return result;
}
