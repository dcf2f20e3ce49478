// The MCU application's version reply from a hostile line, through qvn_get_version,
// qvn_version_check and qvn_mcu_check over the real serial layer. The query goes out whole and
// unchanged, each result stays in its set, a reply is taken exactly when it fits, and the
// update gate decides as the version rules say (going ahead when the version can't be learned).
#include "qvn_version.h"
#include "serial_line.h"
#include "serial_port.h"
#include "version_ref.h"

namespace {

const uint8_t kQuery[] = {0xAA, 0xAA, 0x01, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x01, 0x4D};
constexpr size_t kHeader = 10;
constexpr size_t kBody = QVN_BODY_SIZE;
constexpr size_t kMaxText = 16;

// The reply as the line delivered it: header code 0x06, body length, all of it there.
struct Reply {
    bool code_ok = false;
    size_t len = 0;
    bool complete = false;
    const uint8_t* body = nullptr;
};

Reply reply() {
    const std::vector<uint8_t>& d = serial_line::delivered();
    Reply r;
    if (d.size() < kHeader) return r;
    r.code_ok = d[4] == 0x06;
    r.len = static_cast<size_t>(d[8] * 256 + d[9]);
    r.complete = d.size() >= kHeader + r.len;
    r.body = d.data() + kHeader;
    return r;
}

bool query_sent() {
    std::vector<uint8_t> w = serial_line::written();
    FUZZ_CHECK(w.size() <= sizeof kQuery && std::equal(w.begin(), w.end(), kQuery));
    return !serial_line::any_write_failed();
}

// Whether qvn_get_version must take the reply: the body fits the zeroed 10-byte buffer (at most
// 9 bytes, or 10 whose version text, from the second byte, carries a NUL).
bool takes(bool sent, const Reply& r) {
    if (!sent || !r.code_ok || !r.complete || r.len == 0 || r.len > kBody) return false;
    return r.len < kBody || memchr(r.body + 1, 0, r.len - 1) != nullptr;
}

void get_version() {
    uint8_t body[kBody] = {0};
    const int r = qvn_get_version(body);
    const Reply rep = reply();
    FUZZ_CHECK(r == 0 || r == -1);
    FUZZ_CHECK((r == 0) == takes(query_sent(), rep));
    if (r == 0) {
        FUZZ_CHECK(memcmp(body, rep.body, rep.len) == 0);
        for (size_t i = rep.len; i < kBody; ++i) FUZZ_CHECK(body[i] == 0);
    }
    // An empty body is still read, with zero bytes: that drops what the header read carried
    // over, so the next read waits on the line.
    if (rep.code_ok && rep.len == 0 && serial_line::delivered().size() > kHeader) {
        serial_line::new_call();
        uint8_t next;
        serial_read(uart_fd, &next, 1);
        FUZZ_CHECK(serial_line::tally().waits > 0);
    }
}

void version_check(const char* wanted_text) {
    int32_t wanted[3] = {0, 0, 0};
    FUZZ_CHECK(qvn_version_valid(wanted_text) == version_ref::mcu_version(wanted_text, wanted));
    if (!qvn_version_valid(wanted_text)) return;  // the command line refuses it before the MCU
    const int r = qvn_version_check(wanted_text);
    const Reply rep = reply();
    FUZZ_CHECK(r == 0 || r == -1);
    if (!takes(query_sent(), rep)) {
        FUZZ_CHECK(r == 0);  // the running version is unknown: go ahead
        return;
    }
    // The running version's text begins at the second body byte.
    char body[kBody + 1] = {0};
    memcpy(body, rep.body, rep.len);
    int32_t running[3] = {0, 0, 0};
    const bool known = version_ref::mcu_version(body + 1, running);
    FUZZ_CHECK(r == (known && !version_ref::newer(wanted, running) ? -1 : 0));
}

void mcu_check() {
    const int r = qvn_mcu_check();
    const Reply rep = reply();
    const bool sent = query_sent();
    FUZZ_CHECK(r == 0 || r == -1);
    FUZZ_CHECK((r == 0) == (sent && rep.code_ok && rep.complete));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uart_fd = serial_open("/dev/null");  // a fresh line: empty carry-over
    serial_line::start(uart_fd, data, size);
    FuzzInput& in = serial_line::input();
    switch (in.byte(0) % 3) {
    case 0: get_version(); break;
    case 1: {
        char text[kMaxText + 1] = {0};
        in.bytes(reinterpret_cast<uint8_t*>(text), in.byte(0) % (kMaxText + 1));
        version_check(text);
        break;
    }
    default: mcu_check(); break;
    }
    serial_line::stop();
    serial_close(uart_fd);
    return 0;
}
