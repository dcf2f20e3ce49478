// Version frames of the MCU application over the serial line: the fixed query
// AA AA 01 00 06 00 00 00 00 01 4D, the 10-byte reply header with its body length, and the
// "major.minor.patch" version text.
#include "qvn_version.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "serial_port.h"
#include "console_line.h"

namespace {

constexpr int kHeaderSize = 10;
constexpr int kCodeOffset = 4;
constexpr int kLengthOffset = 8;
constexpr uint8_t kVersionCode = 0x06;
const uint8_t kVersionQuery[] = {0xAA, 0xAA, 0x01, 0x00, kVersionCode, 0x00, 0x00, 0x00, 0x00, 0x01, 0x4D};

// A component holds at most nine characters and its NUL; a version has three components.
constexpr int kComponentSize = 10;
constexpr int kComponents = 3;
// The freshly started application needs this long before it answers.
constexpr unsigned kAppStartSeconds = 3;

// Walks text into numbers; store == false only validates. -1 on overflow of either buffer.
int parse_version(const char* text, int32_t numbers[3], bool store) {
    char component[kComponentSize];
    memset(component, 0, sizeof component);
    int i = 0;
    int n = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '.') {
            if (i + 1 >= kComponents) return -1;
            component[n] = '\0';
            if (store) numbers[i] = atoi(component);
            ++i;
            n = 0;
            continue;
        }
        if (n + 1 >= kComponentSize) return -1;
        component[n++] = *p;
    }
    component[n] = '\0';
    if (store) numbers[i] = atoi(component);
    return 0;
}

// Version query and the 10-byte reply header; -1 when either transfer fails.
int query_header(uint8_t header[kHeaderSize], int* result) {
    *result = serial_write(uart_fd, kVersionQuery, static_cast<int>(sizeof kVersionQuery));
    if (*result != 0) return -1;
    memset(header, 0, kHeaderSize);
    *result = serial_read(uart_fd, header, kHeaderSize);
    if (*result != 0) return -1;
    return 0;
}

int body_length(const uint8_t header[kHeaderSize]) {
    return header[kLengthOffset] * 256 + header[kLengthOffset + 1];
}

}  // namespace

bool qvn_version_valid(const char* text) {
    int32_t unused[3] = {0, 0, 0};
    return parse_version(text, unused, false) == 0;
}

int version_analysis(const char* text, int32_t numbers[3]) {
    if (parse_version(text, numbers, true) != 0) {
        con_printf("[ORNMCU - %s]: version text not supported : %s\n", __func__, text);
        return -1;
    }
    con_printf("[ORNMCU - %s]: ver_num[0] = %d\n", __func__, numbers[0]);
    con_printf("[ORNMCU - %s]: ver_num[1] = %d\n", __func__, numbers[1]);
    con_printf("[ORNMCU - %s]: ver_num[2] = %d\n", __func__, numbers[2]);
    return 0;
}

int qvn_get_version(uint8_t body[QVN_BODY_SIZE]) {
    uint8_t header[kHeaderSize];
    int result = 0;
    if (query_header(header, &result) != 0) return -1;
    if (header[kCodeOffset] != kVersionCode) {
        con_printf("[ORNMCU - %s]: get version fail\n", __func__);
        return -1;
    }
    int len = body_length(header);
    // A body that does not fit the buffer is refused. It is still taken off the line (and
    // dropped) in one read, so the line stays in step with the MCU's frames: a read in pieces
    // would lose the carried bytes beyond each piece and then wait for them in vain.
    if (len > QVN_BODY_SIZE) {
        con_printf("[ORNMCU - %s]: version body too long : %d\n", __func__, len);
        uint8_t* discard = static_cast<uint8_t*>(malloc(static_cast<size_t>(len)));
        if (discard != nullptr) serial_read(uart_fd, discard, len);
        free(discard);
        return -1;
    }
    // An empty body is still read: the zero-byte read settles the carry-over as any read does.
    if (serial_read(uart_fd, body, len) != 0 || len == 0) return -1;
    // The version text starts at the second byte. The buffer is zeroed, so a shorter body's
    // text ends in a NUL anyway; in a full one the text must carry its own.
    if (len == QVN_BODY_SIZE && memchr(body + 1, 0, static_cast<size_t>(len - 1)) == nullptr) {
        con_printf("[ORNMCU - %s]: version body without end\n", __func__);
        return -1;
    }
    return 0;
}

int qvn_version_check(const char* version) {
    int32_t wanted[3] = {0, 0, 0};
    int32_t running[3] = {0, 0, 0};
    uint8_t body[QVN_BODY_SIZE];
    memset(body, 0, sizeof body);
    if (qvn_get_version(body) != 0) {
        con_printf("[ORNMCU - %s]: cannot get mcu version\n", __func__);
        return 0;
    }
    const char* mcu_text = reinterpret_cast<const char*>(body + 1);
    con_printf("[ORNMCU - %s]: firmware version : %s\n", __func__, version);
    con_printf("[ORNMCU - %s]: mcu version : %s\n", __func__, mcu_text);
    if (version_analysis(version, wanted) != 0 || version_analysis(mcu_text, running) != 0) {
        con_printf("[ORNMCU - %s]: cannot get mcu version\n", __func__);
        return 0;
    }
    for (int i = 0; i < 3; ++i) {
        uint32_t w = static_cast<uint32_t>(wanted[i]);
        uint32_t r = static_cast<uint32_t>(running[i]);
        if (i < 2) {
            if (w > r) return 0;
            if (w < r) return -1;
        } else {
            return w > r ? 0 : -1;
        }
    }
    return -1;
}

int qvn_mcu_check(void) {
    con_printf("[ORNMCU - %s]: wait mcu run 3s...\n", __func__);
    sleep(kAppStartSeconds);
    serial_flush(uart_fd, 0);
    uint8_t header[kHeaderSize];
    int result = 0;
    if (query_header(header, &result) != 0) return result;
    if (header[kCodeOffset] != kVersionCode) {
        con_printf("[ORNMCU - %s]: quorvane mcu run fail\n", __func__);
        return -1;
    }
    int len = body_length(header);
    // Zeroed, with one byte beyond the body that keeps the printed text terminated.
    uint8_t* body = static_cast<uint8_t*>(calloc(1, static_cast<size_t>(len) + 1));
    if (body == nullptr) {
        con_printf("[ORNMCU - %s]: malloc mem failed\n", __func__);
        return -1;
    }
    result = serial_read(uart_fd, body, len);
    if (result == 0) con_printf("[ORNMCU - %s]: mcu version : %s\n", __func__, reinterpret_cast<char*>(body));
    free(body);
    return result;
}
