# Cross build for the robot's own 32-bit ARM board (armhf) with Debian's cross compiler.
# Programs built here run on this machine through qemu's user-mode emulation (tools/arm-test.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ORVANE_ARM_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${ORVANE_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ORVANE_ARM_TRIPLE}-g++)

# Headers and libraries come from the cross sysroot only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ORVANE_ARM_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets CMake (and ctest, if asked) run the built programs through the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${ORVANE_ARM_TRIPLE})
