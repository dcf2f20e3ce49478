// Console lines of the MCU updater: every message goes to standard output through here.
#pragma once

// printf for one whole line (the format ends in "\n"). The line is formatted first and reaches
// standard output in one write() while SIGINT is held back: the interrupt handler's lines can
// only come between two lines, never inside one, and nothing is left in a buffer to lose.
int con_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
