// Touch update tool: command line, version gate, image load, programming and result line.
#pragma once

// Returns 1 when the image of version new_ver is to be programmed, 0 to skip.
int touch_version_check(int fd, int new_ver);

// The whole run; returns the run result ret (0, a negative code, or the count of a short
// image read).
int sensorflash_main(int argc, char** argv);

// Process exit status for a run result: ret mod 256, but never 0 for a failed run.
int sensorflash_exit_status(int ret);
