// The MCU's ROM bootloader (STM32 USART bootloader protocol, AN3155) and the line sequences
// around it: set-up and release, reset, bootloader entry, erase, image write, restart.
#pragma once

#include <stdint.h>

constexpr uint8_t BLOADER_SYNC = 0x7F;
constexpr uint8_t BLOADER_ACK = 0x79;
constexpr uint8_t BLOADER_NACK = 0x1F;
constexpr uint8_t BLOADER_NO_ANSWER = 0xFF;
constexpr uint32_t MCU_FLASH_BASE = 0x08000000;
constexpr int MCU_FLASH_PAGE_SIZE = 2048;
// mcu_update_programe page selector: the whole image from MCU_FLASH_BASE.
constexpr int MCU_PROGRAM_WHOLE = 0xFF;
// The update erases cells 0-7: pages 0-127, the first 256 KiB of flash.
constexpr int MCU_ERASED_CELLS = 8;
constexpr int MCU_PAGES_PER_CELL = 16;
constexpr int MCU_ERASED_BYTES = MCU_ERASED_CELLS * MCU_PAGES_PER_CELL * MCU_FLASH_PAGE_SIZE;

int wait_ack(void);
int bloader_cmd_write_mem(uint32_t address, const uint8_t* data, int len);
int bloader_cmd_ex_erase_mem(const uint16_t pages[MCU_PAGES_PER_CELL]);
int mcu_erase_2k(int cell);
int mcu_erase_all(void);
int mcu_update_programe(const uint8_t* image, int size, int page);
int mcu_reset(void);
int mcu_bootloader(void);
int mcu_run(void);
int mcu_init(void);
int mcu_deinit(void);
// mcu_deinit for the interrupt handler: async-signal-safe, closes the line without freeing.
int mcu_deinit_from_signal(void);
