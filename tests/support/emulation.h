// Emulated test runs: the test program itself runs under qemu's user-mode emulation (the armhf
// build, where ORVANE_EMULATED=1 is set), and the host does not hand foreign programs to the
// emulator, so orvane-sim cannot be started as a child process. Black-box tests skip themselves
// there, with the reason. No state; any thread.
#pragma once

#include <gtest/gtest.h>

bool emulated();  // true when the environment has ORVANE_EMULATED=1

// First thing in a black-box test's body, or in its fixture's SetUp: skips the test with the
// reason when the run is emulated.
#define ORVANE_SKIP_IF_EMULATED()                                                                  \
  do {                                                                                             \
    if (emulated())                                                                                \
      GTEST_SKIP() << "starts orvane-sim as a child process, which an emulated test program "      \
                      "cannot do here; the native suites run it";                                  \
  } while (0)
