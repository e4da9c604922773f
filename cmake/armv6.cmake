# The robot's toolchain: the BCM2835's ARM1176JZF-S (ARMv6 with VFPv2), built with Debian's armel
# cross compiler (g++-arm-linux-gnueabi) and linked statically. Any robot program can use it:
#   cmake -S . -B build-armv6 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armv6.cmake
# The programs run here under qemu's emulation of that very CPU (scripts/arm-test.sh).
#
# Why these flags:
# - -mcpu=arm1176jzf-s: the instruction set (ARMv6KZ) and scheduling of the board's CPU, nothing
#   newer. Debian's armhf compiler and libraries target ARMv7 with Thumb-2 and die there with
#   SIGILL; armel's own libraries target ARMv5TE, which the ARM1176 runs.
# - -mfpu=vfp: VFPv2, the CPU's floating-point unit (no VFPv3, no NEON).
# - -mfloat-abi=softfp: VFP instructions inside functions, the soft-float calling convention that
#   armel's libraries are built with; hard would not link against them.
# - -marm: the 32-bit ARM instruction set. The ARM1176 has Thumb-1 only, which is slower and
#   lacks half the registers in most instructions.
# - -static: the binary needs none of the robot's libraries. Its system is armhf (Raspberry Pi
#   OS's armhf is rebuilt for ARMv6), whose hard-float calling convention armel code cannot link
#   against; static, the daemon runs there as it is, whatever the system's library versions.
# - Hardening, since the daemon runs as root with /dev/mem and listens on the network: stack
#   protector, fortified libc calls (optimised builds only; they need the optimiser), and a
#   read-only relocation table. Armel's C library has no static PIE start file, so no PIE.
# - -D_FILE_OFFSET_BITS=64: 64-bit file offsets and inode numbers. Without it readdir fails with
#   EOVERFLOW when the kernel hands out 64-bit directory offsets, as ext4 does to qemu-user on the
#   64-bit PC (the simulator's sweep of dead runners' folders saw no folder there), and files past
#   2 GiB could not be handled.
# - -Wno-psabi: GCC notes that the passing of some arguments changed in GCC 7.1 (15 notes over
#   the daemon and orvane-web). It matters only when linking with code compiled by GCC 6 or
#   older; everything here, the C and C++ libraries included, comes from one GCC 12.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ORVANE_ARM_TRIPLE arm-linux-gnueabi)
set(CMAKE_C_COMPILER ${ORVANE_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ORVANE_ARM_TRIPLE}-g++)

set(_cpu "-mcpu=arm1176jzf-s -mfpu=vfp -mfloat-abi=softfp -marm -fstack-protector-strong -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "${_cpu} -Wno-psabi")
set(CMAKE_C_FLAGS_INIT "${_cpu}")
foreach(_config RELEASE RELWITHDEBINFO MINSIZEREL)
  set(CMAKE_C_FLAGS_${_config}_INIT "-D_FORTIFY_SOURCE=2")
  set(CMAKE_CXX_FLAGS_${_config}_INIT "-D_FORTIFY_SOURCE=2")
endforeach()
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,-z,relro,-z,now")

# Headers and libraries come from the cross sysroot only, static archives first; build tools
# from the host. A robot program that needs a Debian library takes its armel build (for example
# with `dpkg --add-architecture armel`) and adds that package's folders to CMAKE_FIND_ROOT_PATH
# or its own search; host headers in /usr/include must not reach this compiler.
set(CMAKE_FIND_ROOT_PATH /usr/${ORVANE_ARM_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)

# Lets CMake (and ctest, if asked) run the built programs on the emulated CPU. The binaries are
# static, so the emulator needs no library path.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu arm1176)
