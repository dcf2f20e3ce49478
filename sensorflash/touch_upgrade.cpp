// Touch image programming loop: bootloader entry, row range, one row per image packet with
// its checksum verified, bootloader exit.
#include "touch_upgrade.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "touch_btldr.h"
#include "touch_dev.h"

const uint8_t* image_cursor = NULL;
int pkt_left = 0;

namespace {

// The application firmware needs this long to hand over to its bootloader.
const unsigned BTLDR_HANDOVER_S = 1;
// Flash array that holds the touch firmware.
const uint8_t TOUCH_ARRAY_ID = 0;
// Row bytes 126-127 of a packet, carried by Program Row after the 126 of Send Data.
const size_t PKT_PROGRAM_BYTES = 2;

}  // namespace

int touch_upgrade(int fd, const uint8_t* image, size_t size) {
    memset(frame_buf, 0, sizeof frame_buf);
    memset(data_buf, 0, sizeof data_buf);
    size_t pkts = size / TOUCH_PKT_SIZE;
    if (pkts > TOUCH_MAX_PKTS) {
        printf("%s: image of %zu packets is more than the packet counter's %zu, not programmed\n", __func__,
               pkts, TOUCH_MAX_PKTS);
        return TOUCH_ERR_ARG;
    }
    btldr_fd = fd;
    image_cursor = image;
    pkt_left = static_cast<int>(pkts);
    return BOOTLOADER_START();
}

int BOOTLOADER_START(void) {
    uint16_t first_row = 0, last_row = 0;
    int ret = I2C_Request_BTLDR();
    if (ret != 0) ret = I2C_Request_BTLDR();
    if (ret != 0) return ret;
    sleep(BTLDR_HANDOVER_S);
    ret = I2C_ENTER_BTLDR();
    if (ret != 0) return ret;
    ret = I2C_GET_FLASH_SIZE(TOUCH_ARRAY_ID, &first_row, &last_row);
    if (ret != 0) return ret;

    uint16_t row = first_row;
    uint16_t finished = 0;
    int pkt_ret = 0;
    while (pkt_left-- != 0) {
        My_Row_Chcksum = 0;
        if (pkt_left == 0) row = last_row;
        pkt_ret = I2C_Send_DATA(&image_cursor);
        if (pkt_ret != 0) {
            printf("%s: I2C_Send_DATA error\n", __func__);
            break;
        }
        pkt_ret = I2C_Flash_Program(TOUCH_ARRAY_ID, row, image_cursor);
        image_cursor += PKT_PROGRAM_BYTES;
        if (pkt_ret != 0) {
            printf("%s: I2C_Flash_Program error\n", __func__);
            break;
        }
        pkt_ret = I2C_Get_Row_CheckSum(TOUCH_ARRAY_ID, row);
        if (pkt_ret != 0) {
            printf("%s: I2C_Get_Row_CheckSumerror\n", __func__);
            break;
        }
        ++finished;
        printf("%s: upgrade pkt %d finish.......\n", __func__, finished);
        ++row;
        ++image_cursor;  // the packet's last byte is not used
    }
    ret = I2C_Exit_BTLDR();
    return pkt_ret != 0 ? pkt_ret : ret;
}
