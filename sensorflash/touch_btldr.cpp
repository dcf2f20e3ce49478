// Touch controller bootloader frames over the touch device transfers: 01 cmd len16 data
// sum16 17, answered by a frame of the same layout with the status in place of the command.
#include "touch_btldr.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "touch_dev.h"

uint8_t frame_buf[BTLDR_BUF_SIZE];
uint8_t data_buf[BTLDR_BUF_SIZE];
int btldr_fd = -1;
uint8_t My_Row_Chcksum = 0;

namespace {

// Command codes of the bootloader.
const uint8_t CMD_GET_FLASH_SIZE = 0x32;
const uint8_t CMD_SEND_DATA = 0x37;
const uint8_t CMD_ENTER = 0x38;
const uint8_t CMD_PROGRAM_ROW = 0x39;
const uint8_t CMD_VERIFY_ROW = 0x3A;
const uint8_t CMD_EXIT = 0x3B;

// Every frame write and every read of an answer gets this many attempts on the bus.
const int BTLDR_TRIES = 5;
// Gives the controller time to take in a frame before the first poll for its answer.
const useconds_t BTLDR_ANSWER_DELAY_US = 1000;
// Polls for the answer's start byte, 10 ms apart: about one second for the slowest command.
const int BTLDR_POLLS = 100;
const useconds_t BTLDR_POLL_PAUSE_US = 10000;
// Programming a flash row takes the controller a few milliseconds before it can answer.
const useconds_t BTLDR_PROGRAM_DELAY_US = 5000;
// Head of an answer: start byte, status, 16-bit length; the rest is read from this offset.
const size_t BTLDR_HEAD_LEN = 4;
const uint8_t BTLDR_REST_OFFSET = 4;
// Checksum (2) and end byte (1) after the payload.
const size_t BTLDR_TAIL_LEN = 3;

// Entry request understood by the application firmware: hand over to the bootloader.
const uint8_t BTLDR_REQUEST[] = {0x00, 0x09, 0x5A};

// Row data: 126 bytes in six Send Data frames, the last 2 bytes ride in Program Row.
const size_t ROW_DATA_IN_SEND = 126;
const size_t SEND_CHUNK = 21;
// Payload sizes the host needs from the answers it uses.
const size_t FLASH_SIZE_PAYLOAD = 4;
const size_t VERIFY_PAYLOAD = 1;

// Call-site numbers printed with the failure lines of each command.
struct Sites {
    int send, rev, unpack;  // unpack 0: the caller reports nothing itself
};
const Sites SITES_ENTER = {288, 295, 302};
const Sites SITES_FLASH_SIZE = {330, 337, 344};
const Sites SITES_SEND_DATA = {383, 392, 399};
const Sites SITES_PROGRAM = {443, 452, 0};
const Sites SITES_VERIFY = {485, 492, 499};
const int SITE_EXIT_SEND = 530;
const int SITE_UNPACK_CHECKSUM = 620;
const int SITE_UNPACK_STATUS = 629;
const int SITE_ROW_CHECKSUM = 506;

// Refuses an answer whose announced length does not fit frame_buf.
int answer_len_fits(const char* who, const uint8_t* head) {
    unsigned len = head[2] | head[3] << 8;
    if (len > BTLDR_MAX_PAYLOAD) {
        printf("%s: answer too long, len = %u\n", who, len);
        return 0;
    }
    return 1;
}

// One command exchange: frame of n bytes at src, send, wait, unpack into data_buf.
int btldr_exchange(const char* name, uint8_t cmd, const uint8_t* src, size_t n, const Sites& sites,
                   useconds_t delay_us, uint16_t* out_len) {
    I2C_Frame_Packet(cmd, frame_buf, src, n);
    int ret = I2C_Send(btldr_fd, frame_buf, n + BTLDR_FRAME_OVERHEAD);
    if (ret != 0) {
        printf("[%s-%d]:ret = %d\n", name, sites.send, ret);
        return ret;
    }
    if (delay_us) usleep(delay_us);
    ret = I2C_Rev(btldr_fd, frame_buf);
    if (ret != 0) {
        printf("[%s-%d]:ret = %d\n", name, sites.rev, ret);
        return ret;
    }
    ret = I2C_Frame_UnPacket(frame_buf, data_buf, out_len);
    if (ret != 0 && sites.unpack) printf("[%s-%d]:ret = %d\n", name, sites.unpack, ret);
    return ret;
}

// An answer shorter than the command needs is refused like a failed unpack.
int payload_at_least(const char* name, int site, uint16_t got, size_t need) {
    if (got >= need) return 0;
    printf("[%s-%d]:ret = %d\n", name, site, TOUCH_ERR_ANSWER_LEN);
    return TOUCH_ERR_ANSWER_LEN;
}

}  // namespace

uint16_t I2C_Frame_Checksum(const uint8_t* p, size_t n) {
    uint16_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum = static_cast<uint16_t>(sum + p[i]);
    return static_cast<uint16_t>(~sum + 1);
}

void I2C_Frame_Packet(uint8_t cmd, uint8_t* dst, const uint8_t* src, size_t n) {
    dst[0] = BTLDR_SOF;
    dst[1] = cmd;
    dst[2] = static_cast<uint8_t>(n & 0xFF);
    dst[3] = static_cast<uint8_t>((n >> 8) & 0xFF);
    if (n) memcpy(dst + 4, src, n);
    uint16_t c = I2C_Frame_Checksum(dst, n + 4);
    dst[n + 4] = static_cast<uint8_t>(c & 0xFF);
    dst[n + 5] = static_cast<uint8_t>(c >> 8);
    dst[n + 6] = BTLDR_EOF;
}

// Each frame is written with one byte more than its length: the byte that follows it in the
// buffer goes along as it is, and the controller stops at the frame's end byte.
int I2C_Send(int fd, const uint8_t* buf, size_t len) { return touch_write_reg(fd, buf, len + 1, BTLDR_TRIES); }

int I2C_Rev(int fd, uint8_t* buf) {
    usleep(BTLDR_ANSWER_DELAY_US);
    int poll = 0;
    for (; poll < BTLDR_POLLS; ++poll) {
        buf[0] = 0;  // offset of the answer head
        touch_read_reg(fd, buf, BTLDR_HEAD_LEN, BTLDR_TRIES);
        if (buf[0] == BTLDR_SOF) break;
        usleep(BTLDR_POLL_PAUSE_US);
    }
    if (poll == BTLDR_POLLS) {
        printf("%s: wait touch mcu timeout\n", __func__);
        return TOUCH_ERR_READ;
    }
    if (!answer_len_fits(__func__, buf)) return TOUCH_ERR_ANSWER_LEN;
    buf[4] = BTLDR_REST_OFFSET;
    return touch_read_reg(fd, buf + 4, static_cast<size_t>(buf[2]) + BTLDR_TAIL_LEN, BTLDR_TRIES);
}

int I2C_Frame_UnPacket(const uint8_t* src, uint8_t* dst, uint16_t* out_len) {
    if (!answer_len_fits(__func__, src)) return TOUCH_ERR_ANSWER_LEN;
    size_t len = src[2] | src[3] << 8;
    uint16_t pkt_checksum = static_cast<uint16_t>(src[len + 4] | src[len + 5] << 8);
    uint16_t checksum = I2C_Frame_Checksum(src, len + 4);
    if (pkt_checksum != checksum) {
        printf("[%s-%d]:PKT_Checksum = %d, Checksum = %d\n", __func__, SITE_UNPACK_CHECKSUM, pkt_checksum, checksum);
        return TOUCH_ERR_CHECKSUM;
    }
    *out_len = static_cast<uint16_t>(len);
    uint8_t cy_ret = src[1];
    if (cy_ret != 0) {
        printf("[%s-%d]:cy_ret = %d\n", __func__, SITE_UNPACK_STATUS, cy_ret);
        return TOUCH_ERR_STATUS;
    }
    if (len) memcpy(dst, src + 4, len);
    return 0;
}

int I2C_Request_BTLDR(void) {
    memcpy(data_buf, BTLDR_REQUEST, sizeof BTLDR_REQUEST);
    return I2C_Send(btldr_fd, data_buf, sizeof BTLDR_REQUEST);
}

int I2C_ENTER_BTLDR(void) {
    uint16_t len = 0;
    return btldr_exchange(__func__, CMD_ENTER, data_buf, 0, SITES_ENTER, 0, &len);
}

int I2C_GET_FLASH_SIZE(uint8_t array_id, uint16_t* first_row, uint16_t* last_row) {
    uint16_t len = 0;
    data_buf[0] = array_id;
    int ret = btldr_exchange(__func__, CMD_GET_FLASH_SIZE, data_buf, 1, SITES_FLASH_SIZE, 0, &len);
    if (ret == 0) ret = payload_at_least(__func__, SITES_FLASH_SIZE.unpack, len, FLASH_SIZE_PAYLOAD);
    if (ret != 0) return ret;
    *first_row = static_cast<uint16_t>(data_buf[0] | data_buf[1] << 8);
    *last_row = static_cast<uint16_t>(data_buf[2] | data_buf[3] << 8);
    return 0;
}

int I2C_Send_DATA(const uint8_t** cursor) {
    const uint8_t* row = *cursor;
    My_Row_Chcksum = 0;
    for (size_t i = 0; i < ROW_DATA_IN_SEND; ++i) {
        uint8_t b = *(*cursor)++;
        data_buf[i] = b;
        My_Row_Chcksum = static_cast<uint8_t>(My_Row_Chcksum + b);
    }
    // Each chunk goes out from the image: an answer's payload is unpacked into data_buf from
    // offset 0 and would otherwise replace row bytes that are still to be sent.
    for (size_t pos = 0; pos < ROW_DATA_IN_SEND; pos += SEND_CHUNK) {
        uint16_t len = 0;
        int ret = btldr_exchange(__func__, CMD_SEND_DATA, row + pos, SEND_CHUNK, SITES_SEND_DATA, 0, &len);
        if (ret != 0) return ret;
    }
    return 0;
}

int I2C_Flash_Program(uint8_t array_id, uint16_t row, const uint8_t* p) {
    uint16_t len = 0;
    data_buf[0] = array_id;
    data_buf[1] = static_cast<uint8_t>(row & 0xFF);
    data_buf[2] = static_cast<uint8_t>(row >> 8);
    data_buf[3] = p[0];
    data_buf[4] = p[1];
    // From here on the two's complement of the 8-bit sum of all 128 row bytes.
    My_Row_Chcksum = static_cast<uint8_t>(0 - (My_Row_Chcksum + p[0] + p[1]));
    return btldr_exchange(__func__, CMD_PROGRAM_ROW, data_buf, 5, SITES_PROGRAM, BTLDR_PROGRAM_DELAY_US, &len);
}

int I2C_Get_Row_CheckSum(uint8_t array_id, uint16_t row) {
    uint16_t len = 0;
    data_buf[0] = array_id;
    data_buf[1] = static_cast<uint8_t>(row & 0xFF);
    data_buf[2] = static_cast<uint8_t>(row >> 8);
    int ret = btldr_exchange(__func__, CMD_VERIFY_ROW, data_buf, 3, SITES_VERIFY, 0, &len);
    if (ret == 0) ret = payload_at_least(__func__, SITES_VERIFY.unpack, len, VERIFY_PAYLOAD);
    if (ret != 0) return ret;
    uint8_t temp_checksum = frame_buf[4];
    if (temp_checksum != My_Row_Chcksum) {
        printf("[%s-%d]:My_Row_Chcksum = %02x, temp_checksum = %02x\n", __func__, SITE_ROW_CHECKSUM, My_Row_Chcksum,
               temp_checksum);
        return TOUCH_ERR_ROW_SUM;
    }
    return 0;
}

int I2C_Exit_BTLDR(void) {
    I2C_Frame_Packet(CMD_EXIT, frame_buf, data_buf, 0);
    int ret = I2C_Send(btldr_fd, frame_buf, BTLDR_FRAME_OVERHEAD);
    if (ret != 0) printf("[%s-%d]:ret = %d\n", __func__, SITE_EXIT_SEND, ret);
    return ret;
}
