# Cross build for the board's 32-bit ARM (hard-float ABI) with Debian's armhf cross toolchain
# (crossbuild-essential-armhf) and the :armhf library packages (multiarch, under /usr/lib/
# arm-linux-gnueabihf). Test binaries run under user-mode qemu, as ctest's emulator.
# No -D_FILE_OFFSET_BITS=64 or -D_TIME_BITS=64 here: glibc would then rename open, fstat and
# friends to their 64-bit variants on this 32-bit target, and the unit tests' link-time wraps
# of those calls (-Wl,--wrap=open) would silently miss and reach the real files.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ARMHF_TRIPLET}-g++)
set(CMAKE_STRIP ${ARMHF_TRIPLET}-strip CACHE FILEPATH "armhf strip")
# Multiarch: find_library and find_package look in lib/arm-linux-gnueabihf (liblog, libcutils,
# GTest's CMake package) and never pick the host's x86-64 copies of the same libraries.
set(CMAKE_LIBRARY_ARCHITECTURE ${ARMHF_TRIPLET})
set(CMAKE_IGNORE_PATH
    /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu
    /usr/lib/x86_64-linux-gnu/android /usr/lib/x86_64-linux-gnu/cmake
    /usr/lib/x86_64-linux-gnu/cmake/GTest)

# "-L /": the ARM dynamic loader and libraries come from the host's multiarch tree, where the
# :armhf packages are installed. The cross sysroot (/usr/arm-linux-gnueabihf) has its own
# loader, which crashes in pthread_create once it is mixed with the multiarch libc.
# qemu-arm-guard.sh runs "qemu-arm -L /" after refusing binaries that could start a host shell.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/qemu-arm-guard.sh)
