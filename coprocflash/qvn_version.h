// Version frames of the MCU application: the version query, the version text and the two
// checks built on it (the update gate and the confirmation after the restart).
#pragma once

#include <stdint.h>

// Body buffer of the update gate, zeroed before the read: a body of up to 9 bytes ends in a NUL
// without one of its own; a 10-byte body must carry its NUL after the first byte, where the
// version text begins.
constexpr int QVN_BODY_SIZE = 10;

// Parses "major.minor.patch" into numbers[0..2] (the caller zeroes them) and prints the three
// ver_num lines. Returns 0, or -1 for a text the buffers cannot hold (a component of ten or
// more characters, or a fourth component): then nothing is stored past numbers[2] and no
// ver_num line is printed.
int version_analysis(const char* text, int32_t numbers[3]);
// True when version_analysis would accept text (nothing printed, nothing stored).
bool qvn_version_valid(const char* text);

// Sends the version query and reads the reply body into body (QVN_BODY_SIZE bytes, zeroed by
// the caller). 0 for a well-formed reply with a non-empty body that fits, else -1.
int qvn_get_version(uint8_t body[QVN_BODY_SIZE]);
// Update gate: 0 to go ahead, -1 when the MCU already runs this version or a newer one.
int qvn_version_check(const char* version);
// After the restart into the application: 0 when it answers the version query.
int qvn_mcu_check(void);
