// strace's decoding of a call's arguments turned into a trace's ARG field (docs/traces.md):
// open flags by name, the serial line's settings from a TCSETS termios, ioctl requests and
// arguments as numbers, select/poll time-outs in milliseconds.
#pragma once

#include <string>

namespace boardsim {

// "O_RDWR|O_NOCTTY|O_LARGEFILE" -> "O_RDWR|O_NOCTTY". False on a flag name not known here.
bool open_flags_arg(const std::string& strace_flags, std::string* arg, std::string* error);

// "{c_iflag=..., c_cflag=B115200|CS8|CREAD|PARENB, c_lflag=..., ...}" -> "115200,8,E,1,raw".
bool termios_arg(const std::string& strace_termios, std::string* arg, std::string* error);

// "TCIOFLUSH" or its number -> "TCIOFLUSH".
bool tcflush_arg(const std::string& strace_queue, std::string* arg, std::string* error);

// The request as strace printed it ("_IOC(_IOC_WRITE, 0x6b, 0xa0, 0x4)", "0x6b80", a name,
// "A or B" for names that share the number) and the argument -> "0x40046ba0:0x00000001", or
// "0x6b80:-" for a request that moves no data.
bool ioctl_arg(const std::string& request, const std::string& argument, std::string* arg, std::string* error);

// The time-out of select/pselect6 ("{tv_sec=1, tv_usec=0}", "{tv_sec=0, tv_nsec=...}") or of
// poll (milliseconds) in milliseconds; false for none (NULL, -1).
bool timeout_ms(const std::string& strace_timeout, long long* ms);

}  // namespace boardsim
