// ROM bootloader exchange with the MCU: one-byte answers, Write Memory (0x31) and Extended
// Erase (0x44) frames with their retries, and the GPIO sequences that enter and leave it.
#include "mcu_bloader.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "mcu_gpio.h"
#include "qvn_version.h"
#include "serial_port.h"
#include "console_line.h"

namespace {

const char kSerialDevice[] = "/dev/ttyS1";
// The ROM bootloader's USART format: 8 data bits with even parity, 1 stop bit (AN3155).
constexpr int kBaud = 115200;
constexpr int kDataBits = 8;
constexpr int kStopBits = 1;
constexpr int kParity = 'E';

constexpr uint8_t kCmdWriteMem = 0x31;
constexpr uint8_t kCmdExErase = 0x44;
// A command is refused on its fifth NACK; the counter is shared by all stages of it.
constexpr int kCommandAttempts = 5;
// The bootloader may miss the first sync bytes while it measures the baud rate.
constexpr int kSyncAttempts = 6;
// Each answer: four one-second waits.
constexpr int kAckWaits = 4;
constexpr int kAckWaitSeconds = 1;
// Reset held and released for one second each, long enough for the MCU's supervisor.
constexpr unsigned kResetPulseSeconds = 1;
// Write Memory carries at most 256 bytes, a multiple of 4.
constexpr int kChunkSize = 256;
constexpr int kWriteAlign = 4;
constexpr int kMaxCell = 15;

// Set while mcu_init's line is open; read by the interrupt handler.
volatile sig_atomic_t g_uart_opened = 0;
// Set while the reset pulse may hold the reset line driven high (the MCU held in reset): from
// just before the command that drives it high to the end of the one that drives it low again,
// so an interrupt in between never misses it (system() ignores SIGINT while its shell runs).
// Read by the release of the lines, which must not leave the MCU held in reset.
volatile sig_atomic_t g_reset_high = 0;

}  // namespace

int wait_ack(void) {
    uint8_t cell = 0;
    for (int waits = 1; waits <= kAckWaits; ++waits) {
        int r = serial_wait_readable(uart_fd, kAckWaitSeconds);
        if (r < 0) return BLOADER_NO_ANSWER;
        if (r == 0) {
            con_printf("[MCU - %s]: wait ack timeout!\n", __func__);
            continue;
        }
        serial_read_raw(uart_fd, &cell, 1);
        con_printf("[MCU - %s]: mcu responed [%x]\n", __func__, cell);
        return cell;
    }
    return BLOADER_NO_ANSWER;
}

int bloader_cmd_write_mem(uint32_t address, const uint8_t* data, int len) {
    if (len % kWriteAlign != 0 || len <= 0 || len > kChunkSize) {
        con_printf("[MCU - %s]: number of data error\n", __func__);
        return -1;
    }
    const uint8_t command[2] = {kCmdWriteMem, static_cast<uint8_t>(~kCmdWriteMem)};
    uint8_t addr[5];
    addr[0] = static_cast<uint8_t>(address >> 24);
    addr[1] = static_cast<uint8_t>(address >> 16);
    addr[2] = static_cast<uint8_t>(address >> 8);
    addr[3] = static_cast<uint8_t>(address);
    addr[4] = static_cast<uint8_t>(addr[0] ^ addr[1] ^ addr[2] ^ addr[3]);
    const uint8_t count = static_cast<uint8_t>((len - 1) & 0xFF);
    uint8_t sum = count;
    for (int i = 0; i < len; ++i) sum = static_cast<uint8_t>(sum ^ data[i]);

    int attempt = 1;
    int stage = 0;
    while (stage < 3) {
        int w = 0;
        switch (stage) {
        case 0: w = serial_write(uart_fd, command, 2); break;
        case 1: w = serial_write(uart_fd, addr, 5); break;
        default:
            w = serial_write(uart_fd, &count, 1);
            if (w == 0) w = serial_write(uart_fd, data, len);
            if (w == 0) w = serial_write(uart_fd, &sum, 1);
            break;
        }
        if (w != 0) return -1;
        int ack = wait_ack();
        if (ack == BLOADER_ACK) {
            ++stage;
            continue;
        }
        if (ack != BLOADER_NACK) return -1;
        if (attempt == kCommandAttempts) {
            switch (stage) {
            case 0: con_printf("[MCU - %s]: command error\n", __func__); break;
            case 1: con_printf("[MCU - %s]: address error\n", __func__); break;
            default: con_printf("[MCU - %s]: send data error\n", __func__); break;
            }
            return -1;
        }
        ++attempt;
        stage = 0;
    }
    return 0;
}

int bloader_cmd_ex_erase_mem(const uint16_t pages[MCU_PAGES_PER_CELL]) {
    const uint8_t command[2] = {kCmdExErase, static_cast<uint8_t>(~kCmdExErase)};
    const uint16_t n = MCU_PAGES_PER_CELL - 1;  // the field counts pages minus one
    const uint8_t count[2] = {static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    uint8_t page_bytes[2 * MCU_PAGES_PER_CELL];
    uint8_t sum = static_cast<uint8_t>(count[0] ^ count[1]);
    for (int i = 0; i < MCU_PAGES_PER_CELL; ++i) {
        page_bytes[2 * i] = static_cast<uint8_t>(pages[i] >> 8);
        page_bytes[2 * i + 1] = static_cast<uint8_t>(pages[i]);
        sum = static_cast<uint8_t>(sum ^ page_bytes[2 * i] ^ page_bytes[2 * i + 1]);
    }
    con_printf("[MCU - %s]: cmd - [%02x][%02x][%02x]\n", __func__, count[0], count[1], sum);

    int attempt = 1;
    for (;;) {
        if (serial_write(uart_fd, command, 2) != 0) return -1;
        if (wait_ack() == BLOADER_NACK) {
            if (attempt == kCommandAttempts) {
                con_printf("[MCU - %s]: command error\n", __func__);
                return -1;
            }
            ++attempt;
            continue;
        }
        if (serial_write(uart_fd, count, 2) != 0) return -1;
        if (serial_write(uart_fd, page_bytes, static_cast<int>(sizeof page_bytes)) != 0) return -1;
        if (serial_write(uart_fd, &sum, 1) != 0) return -1;
        // Only a NACK refuses the erase; silence after the pages counts as done.
        if (wait_ack() == BLOADER_NACK) {
            if (attempt == kCommandAttempts) {
                con_printf("[MCU - %s]: erase page error\n", __func__);
                return -1;
            }
            ++attempt;
            continue;
        }
        return 0;
    }
}

int mcu_erase_2k(int cell) {
    // Page numbers of cells 16 and up do not fit the low byte: such a cell is refused.
    if (cell < 0 || cell > kMaxCell) {
        con_printf("[MCU - %s]: this version cannot support the cell\n", __func__);
        return -1;
    }
    uint16_t pages[MCU_PAGES_PER_CELL];
    for (int i = 0; i < MCU_PAGES_PER_CELL; ++i) pages[i] = static_cast<uint16_t>(cell * MCU_PAGES_PER_CELL + i);
    if (bloader_cmd_ex_erase_mem(pages) != 0) {
        con_printf("[MCU - %s]: erase memory failed\n", __func__);
        return -1;
    }
    return 0;
}

int mcu_erase_all(void) {
    int result = 0;
    for (int cell = 0; cell < MCU_ERASED_CELLS; ++cell) {
        if (mcu_erase_2k(cell) != 0) result = -1;
        con_printf("[MCU - %s]: erased mcu the [%d] cell\n", __func__, cell);
    }
    return result;
}

int mcu_update_programe(const uint8_t* image, int size, int page) {
    uint8_t* frame = static_cast<uint8_t*>(malloc(kChunkSize));
    if (frame == nullptr) {
        con_printf("[MCU - %s]: malloc mempry error\n", __func__);
        return -1;
    }
    uint32_t address = MCU_FLASH_BASE;
    if (page != MCU_PROGRAM_WHOLE) {
        // One page holds at most 2048 bytes: a larger image for one page is refused unwritten.
        if (size > MCU_FLASH_PAGE_SIZE) {
            con_printf("[MCU - %s]: image too large for one page : %d\n", __func__, size);
            free(frame);
            return -1;
        }
        address = MCU_FLASH_BASE + static_cast<uint32_t>(page) * MCU_FLASH_PAGE_SIZE;
    }
    int pos = 0;
    int result = 0;
    while (size - pos >= kChunkSize) {
        con_printf("[MCU - %s]: write 256 byte\n", __func__);
        memcpy(frame, image + pos, kChunkSize);
        if (bloader_cmd_write_mem(address, frame, kChunkSize) != 0) {
            free(frame);
            return -1;
        }
        address += kChunkSize;
        pos += kChunkSize;
    }
    int rest = size - pos;
    if (rest > 0) {
        con_printf("[MCU - %s]: write %d byte\n", __func__, rest);
        int padded = (rest + kWriteAlign - 1) / kWriteAlign * kWriteAlign;
        memset(frame, 0xFF, static_cast<size_t>(padded));
        memcpy(frame, image + pos, static_cast<size_t>(rest));
        result = bloader_cmd_write_mem(address, frame, padded);
    }
    free(frame);
    return result;
}

int mcu_reset(void) {
    mcu_gpio_config(MCU_PIN_RESET, GPIO_STATE_LOW);
    sleep(kResetPulseSeconds);
    g_reset_high = 1;
    mcu_gpio_config(MCU_PIN_RESET, GPIO_STATE_HIGH);
    sleep(kResetPulseSeconds);
    const int r = mcu_gpio_config(MCU_PIN_RESET, GPIO_STATE_LOW);
    g_reset_high = 0;
    return r;
}

int mcu_bootloader(void) {
    mcu_gpio_config(MCU_PIN_AUX, GPIO_STATE_HIGH);
    mcu_gpio_config(MCU_PIN_BOOT, GPIO_STATE_HIGH);
    mcu_reset();
    const uint8_t sync = BLOADER_SYNC;
    for (int attempt = 0; attempt < kSyncAttempts; ++attempt) {
        if (serial_write(uart_fd, &sync, 1) != 0) break;
        if (wait_ack() == BLOADER_ACK) {
            con_printf("[MCU - %s]: enter mcu bootloader\n", __func__);
            return 0;
        }
    }
    con_printf("[MCU - %s]: enter mcu bootloader fail\n", __func__);
    return -1;
}

int mcu_run(void) {
    mcu_gpio_config(MCU_PIN_BOOT, GPIO_STATE_LOW);
    mcu_reset();
    if (qvn_mcu_check() != 0) {
        con_printf("[MCU - %s]: mcu ack fail\n", __func__);
        return -1;
    }
    return 0;
}

int mcu_init(void) {
    int fd = serial_open(kSerialDevice);
    if (fd == -1) {
        con_printf("[MCU - %s]: serial open error\n", __func__);
        return -1;
    }
    uart_fd = fd;
    g_uart_opened = 1;
    serial_set_speed(uart_fd, kBaud);
    serial_set_parity(uart_fd, kDataBits, kStopBits, kParity);
    mcu_gpio_config(MCU_PIN_BOOT, GPIO_STATE_EXPORT);
    mcu_gpio_config(MCU_PIN_AUX, GPIO_STATE_EXPORT);
    mcu_gpio_config(MCU_PIN_RESET, GPIO_STATE_EXPORT);
    return 0;
}

int mcu_deinit(void) {
    mcu_gpio_config(MCU_PIN_AUX, GPIO_STATE_IN);
    mcu_gpio_config(MCU_PIN_BOOT, GPIO_STATE_IN);
    if (g_uart_opened) {
        g_uart_opened = 0;
        serial_close(uart_fd);
    }
    mcu_gpio_config(MCU_PIN_BOOT, GPIO_STATE_UNEXPORT);
    mcu_gpio_config(MCU_PIN_AUX, GPIO_STATE_UNEXPORT);
    // A reset pulse cut short left the MCU held in reset: the line goes low (the MCU starts)
    // before it is given up.
    if (g_reset_high) {
        g_reset_high = 0;
        mcu_gpio_config(MCU_PIN_RESET, GPIO_STATE_LOW);
    }
    return mcu_gpio_config(MCU_PIN_RESET, GPIO_STATE_UNEXPORT);
}

int mcu_deinit_from_signal(void) {
    mcu_gpio_config_from_signal(MCU_PIN_AUX, GPIO_STATE_IN);
    mcu_gpio_config_from_signal(MCU_PIN_BOOT, GPIO_STATE_IN);
    if (g_uart_opened) {
        g_uart_opened = 0;
        serial_close_from_signal(uart_fd);
    }
    mcu_gpio_config_from_signal(MCU_PIN_BOOT, GPIO_STATE_UNEXPORT);
    mcu_gpio_config_from_signal(MCU_PIN_AUX, GPIO_STATE_UNEXPORT);
    if (g_reset_high) {
        g_reset_high = 0;
        mcu_gpio_config_from_signal(MCU_PIN_RESET, GPIO_STATE_LOW);
    }
    return mcu_gpio_config_from_signal(MCU_PIN_RESET, GPIO_STATE_UNEXPORT);
}
