// Fuzz targets: one entry per kind of input the daemon and the host tools take from outside, each
// checking what it can of the answer. Built as libFuzzer programs by scripts/fuzz.sh (clang, ASan,
// UBSan) and replayed over their corpora as tests in every build. No state survives from one
// input to the next.
#pragma once

#include <cstddef>
#include <cstdint>

int fuzz_monitor_cmd(const uint8_t* data, size_t size);   // command lines on a real map
int fuzz_hex(const uint8_t* data, size_t size);           // the hex parsers, encoders, spcut
int fuzz_servo_reply(const uint8_t* data, size_t size);   // position-reply acceptance
int fuzz_chain_parse(const uint8_t* data, size_t size);   // the virtual servo chain's parser
int fuzz_monitor_lines(const uint8_t* data, size_t size); // buffered line reader = byte-wise one
// The host tools' targets (orvane_fuzz_host, built where host/mqtt is):
int fuzz_mq_check(const uint8_t* data, size_t size);      // the bridge's command check
int fuzz_room_state(const uint8_t* data, size_t size);    // the classroom view's state parsing

// The input being replayed, named in a failure report; set by the replay, null under libFuzzer.
extern const char* fuzz_input_name;

// A broken promise: names it and aborts, so libFuzzer keeps the input and a replay fails.
[[noreturn]] void fuzz_fail(const char* what, const char* file, int line);
#define FUZZ_CHECK(cond)                                                                           \
  do {                                                                                             \
    if (!(cond))                                                                                   \
      fuzz_fail(#cond, __FILE__, __LINE__);                                                        \
  } while (0)
