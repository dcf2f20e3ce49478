// sensorflash: touch-controller firmware updater; usage: sensorflash touch_bin_file version(xx.xx.xx)
#include "sensorflash_main.h"

int main(int argc, char** argv) { return sensorflash_exit_status(sensorflash_main(argc, argv)); }
