# Device build of the board's three programs for platform trees that build with Android.mk
# (the API-22 generation, before Soong; newer trees read Android.bp). 32-bit ARM, against the
# platform's own bionic, liblog and libcutils; each executable is installed in /system/bin.
#
# Source lists are explicit, not globbed: a source file added to a program must be added
# here as well. Test, board-model and test-bed sources are host-only and never listed.
# The code is C++11 with GNU extensions and uses the C library only (the platform's C++
# runtime of that age has the C headers' wrappers and <new>, nothing else).

LOCAL_PATH := $(call my-dir)

# Trees with Soong (API level 24 and later) build the programs from Android.bp; declaring them
# here too would define each module twice.
ifneq ($(filter 21 22 23,$(PLATFORM_SDK_VERSION)),)

# Size over speed: the programs are small tools on a small board. -Os comes after the build
# system's default optimisation, so it wins.
board_sysware_cflags := -Wall -Werror -Os
board_sysware_cppflags := -std=gnu++11 -fno-exceptions -fno-rtti

# LED daemon. klog_write comes from the platform's libcutils; lumend/klog_compat.c stands in
# only on hosts whose libcutils lacks it and is not part of the device build.
include $(CLEAR_VARS)
LOCAL_MODULE := lumend
LOCAL_MODULE_TAGS := optional
LOCAL_MULTILIB := 32
LOCAL_SRC_FILES := \
    lumend/aw9110_lib.cpp \
    lumend/led_pattern.cpp \
    lumend/led_cmd.cpp \
    lumend/lumend_main.cpp
LOCAL_C_INCLUDES := $(LOCAL_PATH)/lumend
LOCAL_CFLAGS := $(board_sysware_cflags)
LOCAL_CPPFLAGS := $(board_sysware_cppflags)
LOCAL_SHARED_LIBRARIES := liblog libcutils
include $(BUILD_EXECUTABLE)

# Touch-controller firmware updater: nothing beyond libc.
include $(CLEAR_VARS)
LOCAL_MODULE := sensorflash
LOCAL_MODULE_TAGS := optional
LOCAL_MULTILIB := 32
LOCAL_SRC_FILES := \
    sensorflash/touch_dev.cpp \
    sensorflash/touch_btldr.cpp \
    sensorflash/touch_upgrade.cpp \
    sensorflash/sensorflash_main.cpp \
    sensorflash/sensorflash.cpp
LOCAL_C_INCLUDES := $(LOCAL_PATH)/sensorflash
LOCAL_CFLAGS := $(board_sysware_cflags)
LOCAL_CPPFLAGS := $(board_sysware_cppflags)
include $(BUILD_EXECUTABLE)

# MCU firmware updater: nothing beyond libc (its GPIO commands go through system(), i.e. the
# platform's /system/bin/sh).
include $(CLEAR_VARS)
LOCAL_MODULE := coprocflash
LOCAL_MODULE_TAGS := optional
LOCAL_MULTILIB := 32
LOCAL_SRC_FILES := \
    coprocflash/console_line.cpp \
    coprocflash/serial_port.cpp \
    coprocflash/mcu_gpio.cpp \
    coprocflash/qvn_version.cpp \
    coprocflash/mcu_bloader.cpp \
    coprocflash/coprocflash_main.cpp
LOCAL_C_INCLUDES := $(LOCAL_PATH)/coprocflash
LOCAL_CFLAGS := $(board_sysware_cflags)
LOCAL_CPPFLAGS := $(board_sysware_cppflags)
include $(BUILD_EXECUTABLE)

endif
