// wait_ack under the ROM bootloader's commands, from a hostile line: Write Memory, Extended
// Erase of one cell and the bootloader entry. Each stage sent must be the AN3155 frame byte for
// byte, each retry must follow the answer that called for it, and each result must be the one
// the answers on the line decide.
#include <utility>

#include "mcu_bloader.h"
#include "mcu_gpio.h"
#include "serial_line.h"
#include "serial_port.h"

// The GPIO layer without a shell: each (pin, state) is recorded.
namespace fake_gpio {
std::vector<std::pair<int, int>> calls;
}  // namespace fake_gpio

int mcu_gpio_config(int pin, int state) {
    fake_gpio::calls.emplace_back(pin, state);
    return 0;
}
int mcu_gpio_config_from_signal(int pin, int state) { return mcu_gpio_config(pin, state); }

namespace {

using Bytes = std::vector<uint8_t>;

// How a command takes its answers: which ones start it again from its first stage (up to
// attempts in all), and which of the others let it go on to its next stage.
struct Rules {
    int attempts;
    bool (*again)(int answer);
    bool (*go_on)(int answer);
};
bool is_nack(int a) { return a == BLOADER_NACK; }
bool is_ack(int a) { return a == BLOADER_ACK; }
bool any(int) { return true; }

// The result the answers on the line call for, checking each turn's bytes on the way.
int expected_result(const std::vector<Bytes>& stages, const Rules& rules) {
    const std::vector<serial_line::Turn>& turns = serial_line::turns();
    size_t stage = 0;
    int attempt = 1;
    for (size_t i = 0; i < turns.size(); ++i) {
        const serial_line::Turn& t = turns[i];
        const Bytes& want = stages[stage];
        const bool last = i + 1 == turns.size();
        if (t.write_failed) {
            FUZZ_CHECK(last && t.sent.size() <= want.size() && std::equal(t.sent.begin(), t.sent.end(), want.begin()));
            return -1;
        }
        FUZZ_CHECK(t.sent == want && t.answer >= 0);
        if (rules.again(t.answer)) {
            if (attempt++ < rules.attempts) {
                stage = 0;
                continue;
            }
        } else if (rules.go_on(t.answer) && ++stage < stages.size()) {
            continue;
        }
        FUZZ_CHECK(last);
        return stage == stages.size() ? 0 : -1;
    }
    FUZZ_CHECK(false);  // the command ended while the line still owed it a verdict
    return 0;
}

uint8_t xor_of(const Bytes& b, size_t from) {
    uint8_t x = 0;
    for (size_t i = from; i < b.size(); ++i) x = static_cast<uint8_t>(x ^ b[i]);
    return x;
}

void write_mem(FuzzInput& in) {
    const uint8_t shape = in.byte(0);
    const int len = shape & 1 ? shape : (shape >> 1) % 65 * 4;  // odd sizes are refused
    uint8_t a[4];
    in.bytes(a, sizeof a);
    Bytes data(static_cast<size_t>(len));
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + shape);
    const uint32_t address = static_cast<uint32_t>(a[0] << 24 | a[1] << 16 | a[2] << 8 | a[3]);
    const int r = bloader_cmd_write_mem(address, data.data(), len);
    if (len % 4 != 0 || len == 0 || len > 256) {
        FUZZ_CHECK(r == -1 && serial_line::turns().empty());
        return;
    }
    Bytes addr(a, a + 4);
    addr.push_back(xor_of(addr, 0));
    Bytes block{static_cast<uint8_t>(len - 1)};
    block.insert(block.end(), data.begin(), data.end());
    block.push_back(xor_of(block, 0));
    FUZZ_CHECK(r == expected_result({{0x31, 0xCE}, addr, block}, {5, is_nack, is_ack}));
}

void erase_cell(FuzzInput& in) {
    const int cell = static_cast<int8_t>(in.byte(0)) % 20;
    const int r = mcu_erase_2k(cell);
    if (cell < 0 || cell > 15) {
        FUZZ_CHECK(r == -1 && serial_line::turns().empty());
        return;
    }
    Bytes pages{0x00, 0x0F};
    for (int p = 16 * cell; p < 16 * cell + 16; ++p) pages.insert(pages.end(), {0x00, static_cast<uint8_t>(p)});
    pages.push_back(xor_of(pages, 0));
    // Only a NACK refuses an erase stage; silence after the pages counts as done.
    FUZZ_CHECK(r == expected_result({{0x44, 0xBB}, pages}, {5, is_nack, any}));
}

void enter_bootloader() {
    const int r = mcu_bootloader();
    const std::vector<std::pair<int, int>> lines = {{MCU_PIN_AUX, GPIO_STATE_HIGH},
                                                    {MCU_PIN_BOOT, GPIO_STATE_HIGH},
                                                    {MCU_PIN_RESET, GPIO_STATE_LOW},
                                                    {MCU_PIN_RESET, GPIO_STATE_HIGH},
                                                    {MCU_PIN_RESET, GPIO_STATE_LOW}};
    FUZZ_CHECK(fake_gpio::calls == lines);
    FUZZ_CHECK(r == expected_result({{BLOADER_SYNC}}, {6, [](int a) { return !is_ack(a); }, any}));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uart_fd = serial_open("/dev/null");
    serial_line::start(uart_fd, data, size);
    fake_gpio::calls.clear();
    FuzzInput& in = serial_line::input();
    switch (in.byte(0) % 3) {
    case 0: write_mem(in); break;
    case 1: erase_cell(in); break;
    default: enter_bootloader(); break;
    }
    serial_line::stop();
    serial_close(uart_fd);
    return 0;
}
