# 32-bit ARM as the platform's devices have it: ARMv4T (strict alignment, no hardware divide, 32-bit sizes), with
# Debian's arm-linux-gnueabi cross compiler. Programs run under qemu-arm, on Debian's ARM libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv4t -marm")
set(CMAKE_CXX_FLAGS_INIT "-march=armv4t -marm")

set(MISTVANE_ARM_SYSROOT /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH ${MISTVANE_ARM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${MISTVANE_ARM_SYSROOT})
