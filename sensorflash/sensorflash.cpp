// sensorflash: touch-controller firmware updater; usage: sensorflash touch_bin_file version(xx.xx.xx)
#include <stdio.h>

#include "sensorflash_main.h"

int main(int argc, char** argv) {
    // Install scripts read the output through a pipe or a log file: each line goes out when
    // printed, so a run ended by a signal leaves every line it printed.
    setvbuf(stdout, NULL, _IOLBF, 0);
    return sensorflash_exit_status(sensorflash_main(argc, argv));
}
