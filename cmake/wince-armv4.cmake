# Windows CE on ARM processors: ARMv4 in ARM state, the StrongARM SA-1110 and the XScale, with Debian's
# arm-linux-gnueabi cross compiler. Neither Debian's C library nor its libgcc can be used (they are built for later
# processors), so everything built here is freestanding: the module brings its own runtime and binds the platform's
# libraries, and the test loader makes Linux system calls itself.
set(CMAKE_SYSTEM_NAME Generic)
set(MISTVANE_WINCE ON)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_ASM_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_OBJDUMP arm-linux-gnueabi-objdump)
# Nothing here links a C library, so the compiler checks compile without linking.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# 16-bit wchar_t as on the platform; no unwinding tables, no stack protector and no position-independent code,
# since nothing here provides what they call.
set(MISTVANE_ARMV4_FLAGS "-march=armv4 -marm -mfloat-abi=soft -ffreestanding -fshort-wchar -fno-pic -fno-stack-protector -fno-unwind-tables -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_INIT "${MISTVANE_ARMV4_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${MISTVANE_ARMV4_FLAGS} -fno-exceptions -fno-rtti -fno-threadsafe-statics")
set(CMAKE_ASM_FLAGS_INIT "-march=armv4 -marm")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nostdlib -static -Wl,--gc-sections")

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
