// Emulated test runs: the test program itself runs under qemu's user-mode emulation (the ARMv6
// build on qemu's arm1176, where ORVANE_EMULATED=1 is set). The host does not hand foreign
// programs to the emulator, so orvane-sim is started through the command in ORVANE_EMULATOR;
// without one, black-box tests skip themselves, with the reason. No state; any thread.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

bool emulated();  // true when the environment has ORVANE_EMULATED=1
std::vector<std::string> emulator();  // the words of ORVANE_EMULATOR, e.g. "qemu-arm -cpu arm1176"

// First thing in a black-box test's body, or in its fixture's SetUp: skips the test with the
// reason when the run is emulated and no emulator command is given for child programs.
#define ORVANE_SKIP_IF_EMULATED()                                                                  \
  do {                                                                                             \
    if (emulated() && emulator().empty())                                                          \
      GTEST_SKIP() << "starts orvane-sim as a child process, which an emulated test program "      \
                      "cannot do without ORVANE_EMULATOR; the native suites run it";              \
  } while (0)
