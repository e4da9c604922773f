// Hex text helpers of the monitor protocol: parsers, lowercase encoders and blank skipping, all
// working on a caller's cursor that they advance past what they read or wrote. No state of their
// own; any thread may call them on its own text.
#pragma once

#include <cstdint>

extern const char hex1enc[16];  // "0123456789abcdef", without a terminating zero

int16_t hex1dec(char dt);  // value of one hex digit, or -1
// Reads at most n digits; -1 when none (cursor unmoved). Beyond eight digits the value wraps
// modulo 2^32 and the result is its bit pattern.
int32_t hexndec(const char** pp, int16_t n);
int16_t hex2dec(const char** pp);
int32_t hex4dec(const char** pp);
int32_t hex6dec(const char** pp);
int32_t hex8dec(const char** pp);  // ffffffff reads as -1, the same as no digit

// Encoders write exactly 2, 4, 6 or 8 lowercase digits and no terminator.
void hex2enc(char** pp, uint8_t dt);
void hex4enc(char** pp, uint16_t dt);
void hex6enc(char** pp, uint32_t dt);  // bits 23..0
void hex8enc(char** pp, uint32_t dt);

void spcut(const char** pp);  // skips ' ', CR and LF (never tab)
