// The current LED command; 2 (the chip-timed sequence) until a command arrives.
#include "led_cmd.h"

uint8_t g_led_cmd = LED_CMD_SEQUENCE;
