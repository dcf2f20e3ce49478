// A whole touch_upgrade of a small image against a hostile controller: the controller model
// answers, and the input decides for every write, poll and rest read whether it fails, comes
// out short, has a byte spoiled or carries a payload of the input's own (with a checksum that
// holds). Every frame sent must be well formed and carry the image's bytes for its row, the
// result must be one of the touch result codes, and a run that reports success must have
// programmed every packet into its row.
#include <errno.h>

#include <map>

#include "fuzz_input.h"
#include "sys_shim.h"
#include "touch_controller.h"
#include "touch_dev.h"
#include "touch_fixtures.h"
#include "touch_upgrade.h"

namespace {

using Bytes = std::vector<uint8_t>;
using board::TouchController;

// Data length of each command's frame.
size_t data_len_of(uint8_t cmd) {
    static const std::map<uint8_t, size_t> lens = {{TouchController::CMD_ENTER, 0},         {TouchController::CMD_EXIT, 0},
                                                   {TouchController::CMD_GET_FLASH_SIZE, 1}, {TouchController::CMD_SEND_DATA, 21},
                                                   {TouchController::CMD_PROGRAM_ROW, 5},    {TouchController::CMD_VERIFY_ROW, 3}};
    auto it = lens.find(cmd);
    return it == lens.end() ? SIZE_MAX : it->second;
}

class HostileController : public testbed::CharDevice {
public:
    HostileController(FuzzInput& in, const Bytes& img) : in_(in), img_(img) {
        uint8_t first = in_.byte(0);
        model_.set_rows(first, static_cast<uint16_t>(first + in_.byte(0)));
    }

    long on_write(const uint8_t* d, size_t len) override {
        uint8_t how = in_.byte(0xFF);
        long r = how < 0x10   ? -EIO                          // lost on the bus
                 : how < 0x20 ? static_cast<long>(len / 2)  // short
                              : model_.on_write(d, len);
        check_sent(d, len, r == static_cast<long>(len));
        return r;
    }

    long on_read(uint8_t* buf, size_t len) override {
        const bool head = buf[0] == 0;  // offset 0: a poll for the head; 4: the rest
        long r = model_.on_read(buf, len);
        uint8_t how = in_.byte(0xFF);
        if (how < 0x10) {
            r = -EIO;
        } else if (how < 0x20) {
            r = in_.byte(0) % static_cast<long>(len);
        } else if (how < 0x30) {
            uint8_t at = in_.byte(0);
            buf[at % len] = static_cast<uint8_t>(buf[at % len] ^ in_.byte(0x80));
        } else if (how < 0x40 && !head && len >= 3) {
            forge_rest(buf, len);
        }
        if (head) memcpy(head_, buf, sizeof head_);
        if (!head && r == static_cast<long>(len) && last_cmd_ == TouchController::CMD_GET_FLASH_SIZE && len >= 7) {
            first_row_ = static_cast<uint16_t>(buf[0] | buf[1] << 8);
            last_row_ = static_cast<uint16_t>(buf[2] | buf[3] << 8);
        }
        return r;
    }

    uint8_t last_cmd_ = 0;
    uint16_t first_row_ = 0, last_row_ = 0;  // as the last Get Flash Size answer gave them
    std::vector<uint16_t> rows_;             // of every Program Row frame, in order

private:
    // The entry request (4 bytes), or a frame of its command's length and the byte after it.
    // Only a frame the controller took counts for the row being loaded: a failed one is sent
    // again whole by the device layer.
    void check_sent(const uint8_t* d, size_t len, bool taken) {
        if (len == 4 && d[0] == 0x00) {
            FUZZ_CHECK(d[1] == 0x09 && d[2] == 0x5A && d[3] == 0x00);
            return;
        }
        FUZZ_CHECK(len >= 8 && d[0] == 0x01);
        const size_t n = d[2] | d[3] << 8;
        FUZZ_CHECK(n == data_len_of(d[1]) && len == n + 8);
        FUZZ_CHECK((d[n + 4] | d[n + 5] << 8) == TouchController::frame_checksum(d, n + 4) && d[n + 6] == 0x17);
        if (!taken) return;
        last_cmd_ = d[1];
        // Send Data and Program Row carry the row bytes of packet rows_.size(), in order.
        if (last_cmd_ == TouchController::CMD_SEND_DATA) loading_.insert(loading_.end(), d + 4, d + 4 + n);
        if (last_cmd_ == TouchController::CMD_PROGRAM_ROW) loading_.insert(loading_.end(), d + 7, d + 9);
        if (!loading_.empty()) {
            const size_t at = rows_.size() * 129;
            FUZZ_CHECK(at + loading_.size() <= img_.size() &&
                       std::equal(loading_.begin(), loading_.end(), img_.begin() + static_cast<long>(at)));
        }
        if (last_cmd_ == TouchController::CMD_PROGRAM_ROW) rows_.push_back(static_cast<uint16_t>(d[5] | d[6] << 8));
        if (last_cmd_ != TouchController::CMD_SEND_DATA) loading_.clear();
    }

    // The rest of an answer with a payload from the input and a checksum over the head given.
    void forge_rest(uint8_t* buf, size_t len) {
        const size_t n = len - 3;
        memset(buf, 0, n);
        in_.bytes(buf, n);
        uint8_t frame[4 + 255];
        memcpy(frame, head_, 4);
        memcpy(frame + 4, buf, n);
        uint16_t c = TouchController::frame_checksum(frame, n + 4);
        buf[n] = static_cast<uint8_t>(c & 0xFF);
        buf[n + 1] = static_cast<uint8_t>(c >> 8);
        buf[n + 2] = 0x17;
    }

    FuzzInput& in_;
    const Bytes& img_;
    TouchController model_;
    uint8_t head_[4] = {0, 0, 0, 0};
    Bytes loading_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in;
    in.reset(data, size);
    const uint8_t shape = in.byte(0);
    const size_t packets = shape % 4;
    const Bytes img = make_image(packets, (shape >> 2) % 64);
    HostileController dev(in, img);
    shim::attach(&dev);  // the real device layer over it; pauses recorded, not slept
    FUZZ_CHECK(touch_init() == 0);  // also starts both failure counts at 0

    const int r = touch_upgrade(dev_fd, img.data(), img.size());
    FUZZ_CHECK(r == 0 || (r <= -2 && r >= -7));
    if (r == 0) {
        FUZZ_CHECK(dev.last_cmd_ == TouchController::CMD_EXIT);
        FUZZ_CHECK(dev.rows_.size() == packets);
        for (size_t k = 0; k < packets; ++k) {
            const uint16_t row = k + 1 == packets ? dev.last_row_ : static_cast<uint16_t>(dev.first_row_ + k);
            FUZZ_CHECK(dev.rows_[k] == row);
        }
    }
    shim::attach(nullptr);
    return 0;
}
