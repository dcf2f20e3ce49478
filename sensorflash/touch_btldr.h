// Touch controller bootloader frames: frame build and checksum, send, answer wait and
// unpack, the entry request and the six bootloader commands used to program flash rows.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Result codes added to those of the device transfers (-1 to -3).
enum {
    TOUCH_ERR_CHECKSUM = -4,   // answer checksum does not match
    TOUCH_ERR_ROW_SUM = -5,    // the controller's row checksum differs from My_Row_Chcksum
    TOUCH_ERR_STATUS = -6,     // answer status cy_ret is not 0
    TOUCH_ERR_ANSWER_LEN = -7, // answer length does not fit frame_buf or is too short for its use
};

// One frame or answer, and the data of one command.
const size_t BTLDR_BUF_SIZE = 129;
// Frame overhead: start byte, command/status, 16-bit length, 16-bit checksum, end byte.
const size_t BTLDR_FRAME_OVERHEAD = 7;
// Largest answer payload that fits frame_buf with its overhead.
const size_t BTLDR_MAX_PAYLOAD = BTLDR_BUF_SIZE - BTLDR_FRAME_OVERHEAD;  // 122

const uint8_t BTLDR_SOF = 0x01;
const uint8_t BTLDR_EOF = 0x17;

extern uint8_t frame_buf[BTLDR_BUF_SIZE];
extern uint8_t data_buf[BTLDR_BUF_SIZE];
extern int btldr_fd;
extern uint8_t My_Row_Chcksum;

uint16_t I2C_Frame_Checksum(const uint8_t* p, size_t n);
void I2C_Frame_Packet(uint8_t cmd, uint8_t* dst, const uint8_t* src, size_t n);
int I2C_Send(int fd, const uint8_t* buf, size_t len);
int I2C_Rev(int fd, uint8_t* buf);
int I2C_Frame_UnPacket(const uint8_t* src, uint8_t* dst, uint16_t* out_len);

int I2C_Request_BTLDR(void);
int I2C_ENTER_BTLDR(void);
int I2C_GET_FLASH_SIZE(uint8_t array_id, uint16_t* first_row, uint16_t* last_row);
int I2C_Send_DATA(const uint8_t** cursor);
int I2C_Flash_Program(uint8_t array_id, uint16_t row, const uint8_t* p);
int I2C_Get_Row_CheckSum(uint8_t array_id, uint16_t row);
int I2C_Exit_BTLDR(void);
