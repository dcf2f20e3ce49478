// coprocflash: brings a new firmware image into the MCU. Loads the image, gates on the
// running version, then runs up to three passes of bootloader entry, erase, write and restart.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console_line.h"
#include "mcu_bloader.h"
#include "qvn_version.h"

namespace {

// A failing step is retried from the bootloader entry: three passes in all.
constexpr int kUpdatePasses = 3;

// The interrupt handler: everything it calls is async-signal-safe, so it may arrive inside
// malloc or a serial exchange. Console lines are written whole with SIGINT held back (see
// con_printf), so it runs between two lines and nothing printed before it is lost by _exit.
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
            con_printf("mcu enter bootloader fail\n");
            continue;
        }
        if ((result = mcu_erase_all()) != 0) {
            con_printf("mcu erase all memory fail\n");
            continue;
        }
        if ((result = mcu_update_programe(image, size, MCU_PROGRAM_WHOLE)) != 0) {
            con_printf("mcu update programe fail\n");
            continue;
        }
        if ((result = mcu_run()) != 0) {
            con_printf("mcu run fail\n");
            continue;
        }
        return 0;
    }
    con_printf("mcu upgrade error\n");
    return result;
}

// The MCU session, from mcu_init to the update result; mcu_deinit is the caller's.
int update_mcu(const char* version, const uint8_t* image, int size) {
    int r = mcu_init();
    if (r != 0) {
        con_printf("mcu init fail\n");
        return r;
    }
    if (install_sigint_handler() != 0) {
        con_printf("cannot catch SIGNIT\n");
        return -1;
    }
    if (version != nullptr && (r = qvn_version_check(version)) != 0) {
        con_printf("mcu already new version!\n");
        return r;
    }
    return run_update_passes(image, size);
}

}  // namespace

int main(int argc, char** argv) {
    con_printf("--------start--------\n");
    if (argc < 2) {
        con_printf("Usage : %s [file_path]\n", argv[0]);
        return -1;
    }
    const char* path = argv[1];
    const char* version = nullptr;
    if (argc == 3) {
        version = argv[2];
        con_printf("will upgrade version : %s\n", version);
        // A version the parser cannot hold would gate on garbage: refuse it before the MCU.
        if (!qvn_version_valid(version)) {
            con_printf("version text not supported : %s\n", version);
            con_printf("--------end--------\n");
            return -1;
        }
    }

    int result = -1;
    uint8_t* image = nullptr;
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        con_printf("open file [%s] failed\n", path);
        con_printf("--------end--------\n");
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        con_printf("--------end--------\n");
        return -1;
    }
    // The update erases the first 256 KiB of flash: a larger image is refused before it is
    // read, which also keeps the size within the signed 32-bit count it is held in.
    if (st.st_size > MCU_ERASED_BYTES) {
        con_printf("image file too large : %lld bytes, the update erases %d\n", static_cast<long long>(st.st_size),
                   MCU_ERASED_BYTES);
        close(fd);
        con_printf("--------end--------\n");
        return -1;
    }
    const int fm_size = static_cast<int>(st.st_size);
    image = static_cast<uint8_t*>(malloc(fm_size > 0 ? static_cast<size_t>(fm_size) : 1));
    if (image == nullptr) {
        con_printf("malloc memory fail\n");
    } else {
        int ret_size = static_cast<int>(read(fd, image, static_cast<size_t>(fm_size)));
        con_printf("read file : fm_size=%d, ret_size=%d\n", fm_size, ret_size);
        if (ret_size != fm_size) {
            con_printf("read file fail : fm_size=%d, ret_size=%d\n", fm_size, ret_size);
            // The count is the status, but a failed read never ends with 0.
            result = (ret_size & 0xFF) != 0 ? ret_size : -1;
        } else if (fm_size == 0) {
            con_printf("image file is empty, nothing to program\n");
        } else {
            result = update_mcu(version, image, fm_size);
            mcu_deinit();
        }
    }
    free(image);
    close(fd);
    con_printf("--------end--------\n");
    return result;
}
