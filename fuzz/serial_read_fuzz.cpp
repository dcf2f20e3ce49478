// serial_read and its carry-over over a hostile line: exact-count reads of random sizes against
// reads of random sizes, empty reads, failed and silent waits. Every byte the line delivered is
// handed out once and in order (surplus first in the next call, at most 99 held over), and a
// failed call keeps the carry-over it had and fails only for a reason the line gave.
#include <algorithm>

#include "serial_line.h"
#include "serial_port.h"

namespace {

constexpr int kMaxCount = 120;    // beyond one read's 100 bytes
constexpr size_t kCarryMax = 99;  // a read brings at most 100 bytes and hands out at least one
constexpr int kInRow = 4;         // silent waits (or empty reads) in a row that fail a call

bool failure_explained() {
    using serial_line::Last;
    const serial_line::Tally& t = serial_line::tally();
    return t.last == Last::wait_failed || t.last == Last::read_failed ||
           (t.last == Last::silent && t.silent_in_row == kInRow) ||
           (t.last == Last::read_empty && t.empty_in_row == kInRow);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uart_fd = serial_open("/dev/null");  // a fresh line: empty carry-over
    serial_line::start(uart_fd, data, size);
    FuzzInput& in = serial_line::input();
    std::vector<uint8_t> carry;  // what the program must hand out first
    while (!in.empty()) {
        const size_t count = 1 + in.byte(0) % kMaxCount;
        const size_t before = serial_line::delivered().size();
        serial_line::new_call();
        std::vector<uint8_t> buf(count);
        const int r = serial_read(uart_fd, buf.data(), static_cast<int>(count));
        const std::vector<uint8_t>& line = serial_line::delivered();
        if (r != 0) {
            FUZZ_CHECK(r == -1 && failure_explained());
            continue;  // the carry-over stays as it was
        }
        if (carry.size() >= count) {  // served from the carry-over alone, the rest of it dropped
            FUZZ_CHECK(serial_line::tally().waits == 0 && line.size() == before);
            FUZZ_CHECK(std::equal(buf.begin(), buf.end(), carry.begin()));
            carry.clear();
            continue;
        }
        carry.insert(carry.end(), line.begin() + static_cast<long>(before), line.end());
        FUZZ_CHECK(carry.size() >= count && std::equal(buf.begin(), buf.end(), carry.begin()));
        carry.erase(carry.begin(), carry.begin() + static_cast<long>(count));
        FUZZ_CHECK(carry.size() <= kCarryMax);
    }
    serial_line::stop();
    serial_close(uart_fd);
    return 0;
}
