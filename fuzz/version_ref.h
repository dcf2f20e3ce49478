// How the two updaters read a version text, written from their documented rules and apart
// from the programs' own parsers, so the fuzz targets can hold one against the other.
#pragma once

#include <climits>
#include <cstdint>
#include <cstring>

namespace version_ref {

inline bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// One "%d" conversion at *p: blanks, an optional sign, at least one digit, a value that fits
// an int. Advances p past what it read.
inline bool scan_int(const char*& p, int* out) {
    while (is_space(*p)) ++p;
    bool neg = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (*p < '0' || *p > '9') return false;
    long long v = 0;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + (*p++ - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (neg) v = -v;
    if (v > INT_MAX) return false;
    *out = static_cast<int>(v);
    return true;
}

// sensorflash's command line: true when "%d.%d.%d" reads three numbers that fit an int.
inline bool touch_version(const char* text, int out[3]) {
    const char* p = text;
    for (int i = 0; i < 3; ++i) {
        if (i > 0 && *p++ != '.') return false;
        if (!scan_int(p, &out[i])) return false;
    }
    return true;
}

// atoi of a component: blanks, an optional sign, the digits up to the first non-digit.
inline int32_t component_value(const char* p) {
    while (is_space(*p)) ++p;
    bool neg = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    int32_t v = 0;
    while (*p >= '0' && *p <= '9') v = v * 10 + (*p++ - '0');  // nine characters at most
    return neg ? -v : v;
}

// coprocflash's version text (command line or the MCU's reply): at most three components
// split at '.', each of at most nine characters. false for a text the tool refuses.
inline bool mcu_version(const char* text, int32_t out[3]) {
    char comp[3][10];
    int i = 0;
    size_t n = 0;
    for (const char* p = text;; ++p) {
        if (*p == '.' || *p == '\0') {
            comp[i][n] = '\0';
            if (*p == '\0') break;
            if (++i == 3) return false;
            n = 0;
        } else {
            if (n == 9) return false;
            comp[i][n++] = *p;
        }
    }
    for (int k = 0; k < 3; ++k) out[k] = k <= i ? component_value(comp[k]) : 0;
    return true;
}

// The update gate: true when the wanted version is newer than the running one, each
// component compared as an unsigned 32-bit value, major first.
inline bool newer(const int32_t wanted[3], const int32_t running[3]) {
    for (int k = 0; k < 3; ++k) {
        uint32_t w = static_cast<uint32_t>(wanted[k]), r = static_cast<uint32_t>(running[k]);
        if (w != r) return w > r;
    }
    return false;
}

}  // namespace version_ref
