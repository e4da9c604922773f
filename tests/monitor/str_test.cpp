#include "monitor/str.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(HexText, DigitsAreExactlyTheThreeRangesInEitherCase)
{
  for (int c = 0; c < 256; c++) {
    int want = -1;
    if (c >= '0' && c <= '9')
      want = c - '0';
    else if (c >= 'a' && c <= 'f')
      want = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      want = c - 'A' + 10;
    EXPECT_EQ(hex1dec(static_cast<char>(c)), want) << "byte " << c;
  }
}

TEST(HexText, ParsersTakeAtMostTheirDigitsAndLeaveTheCursorOnTheRest)
{
  struct Row {
    const char* text;
    int16_t n;
    int32_t value;
    int taken;
  };
  const Row rows[] = {
      {"12345", 4, 0x1234, 4},
      {"123", 2, 0x12, 2},
      {"fF", 2, 0xff, 2},
      {"0", 4, 0, 1},
      {"", 4, -1, 0},
      {" 12", 4, -1, 0},       // no blank skipping inside a parser
      {"0012g", 8, 0x12, 4},   // leading zeros count, stops on a non-digit
      {"12", 0, -1, 0},        // no digits allowed: nothing read even though digits follow
      {"12", -3, -1, 0},
      {"ffffffff", 8, -1, 8},  // the bit pattern of -1, cursor still moved
      {"80000000", 8, INT32_MIN, 8},
      {"7fffffff1", 8, INT32_MAX, 8},
      {"123456789a", 10, 0x3456789a, 10},  // longer fields wrap modulo 2^32
      {"ffffffffff", 10, -1, 10},
      {"1\x80", 4, 1, 1},
  };
  for (const Row& r : rows) {
    const char* p = r.text;
    EXPECT_EQ(hexndec(&p, r.n), r.value) << r.text << " n=" << r.n;
    EXPECT_EQ(p - r.text, r.taken) << r.text << " n=" << r.n;
  }

  // The fixed-width parsers are the same with their own digit counts.
  const char* t = "123456789";
  int32_t (*fixed[])(const char**) = {[](const char** p) -> int32_t { return hex2dec(p); },
                                      hex4dec, hex6dec, hex8dec};
  for (int i = 0; i < 4; i++) {
    const char* p = t;
    const char* q = t;
    EXPECT_EQ(fixed[i](&p), hexndec(&q, static_cast<int16_t>(2 * i + 2)));
    EXPECT_EQ(p - t, 2 * i + 2);
  }
}

TEST(HexText, EncodersWriteTheirWidthInLowercaseAndNothingMore)
{
  struct Row {
    void (*enc)(char**, uint32_t);
    uint32_t value;
    const char* text;
  };
  const Row rows[] = {
      {[](char** p, uint32_t v) { hex2enc(p, static_cast<uint8_t>(v)); }, 0x4f, "4f"},
      {[](char** p, uint32_t v) { hex4enc(p, static_cast<uint16_t>(v)); }, 0x00a0, "00a0"},
      {[](char** p, uint32_t v) { hex4enc(p, static_cast<uint16_t>(v)); }, 0, "0000"},
      {hex6enc, 0x1234, "001234"},
      {hex6enc, 0xff001234, "001234"},
      {hex8enc, 16667, "0000411b"},
      {hex8enc, 0xdeadbeef, "deadbeef"},
  };
  for (const Row& r : rows) {
    char buf[12];
    memset(buf, '~', sizeof buf);
    char* p = buf;
    r.enc(&p, r.value);
    size_t n = strlen(r.text);
    EXPECT_EQ(std::string(buf, n), r.text);
    EXPECT_EQ(static_cast<size_t>(p - buf), n);
    EXPECT_EQ(buf[n], '~') << r.text;  // no terminator, no extra byte
  }

  // Every 16-bit value survives the round trip and never shows an uppercase digit.
  for (uint32_t v = 0; v <= 0xffff; v++) {
    char buf[5] = {};
    char* p = buf;
    hex4enc(&p, static_cast<uint16_t>(v));
    const char* q = buf;
    ASSERT_EQ(hex4dec(&q), static_cast<int32_t>(v));
    ASSERT_EQ(std::string(buf).find_first_of("ABCDEF"), std::string::npos);
  }
}

TEST(HexText, BlanksAreSpaceCrAndLfButNeverTab)
{
  const struct {
    const char* text;
    int skipped;
  } rows[] = {{"\tx", 0}, {" \r\n x", 4}, {"   ", 3}, {"", 0}, {"\v1", 0}, {"1 ", 0}};
  for (const auto& r : rows) {
    const char* p = r.text;
    spcut(&p);
    EXPECT_EQ(p - r.text, r.skipped) << '"' << r.text << '"';
  }
}
