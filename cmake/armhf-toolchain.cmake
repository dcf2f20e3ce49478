# Cross build for the board's 32-bit ARM (hard-float ABI) with Debian's armhf cross toolchain
# (crossbuild-essential-armhf) and the :armhf library packages (multiarch, under /usr/lib/
# arm-linux-gnueabihf). Test binaries run under user-mode qemu, as ctest's emulator.
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
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/)
