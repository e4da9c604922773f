// The monitor's buffered line reader over a scripted socket: where lines end and are cut, when the
// connection closes, and that a burst of lines costs one receive rather than one per byte. That it
// matches the former byte-wise reader in every other respect is the monitor_lines fuzz target's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fuzz/stream.h"
#include "monitor/cmd.h"
#include "monitor/rdline.h"

namespace {

using K = stream_step::kind;

struct rd_case {
  const char* what;
  std::vector<stream_step> steps;
  K end;
  std::vector<std::string> lines;  // handed out before the reader reports the close
  int pauses;
};

std::string cut_line(char c) { return std::string(DBGS_BUF - 1, c); }

}  // namespace

TEST(LineReader, CutsLinesAndClosesAsTheByteWiseReaderDid)
{
  const std::vector<rd_case> cases = {
      {"a line across receives", {{K::bytes, "r d8"}, {K::bytes, "0 40\nq"}}, K::zero,
       {"r d80 40"}, 10},
      {"CR and NUL stay in the line", {{K::bytes, std::string("r\r\0x\n", 5)}}, K::zero,
       {std::string("r\r\0x", 4)}, 10},
      {"2047 characters and LF: then an empty line",
       {{K::bytes, cut_line('a') + "\nb\n"}}, K::zero, {cut_line('a'), "", "b"}, 10},
      {"a longer line goes on as the next",
       {{K::bytes, cut_line('a')}, {K::bytes, "bc\n"}}, K::zero, {cut_line('a'), "bc"}, 10},
      {"ten zero-byte receives within a line are borne",
       {{K::bytes, "r"}, {K::zero}, {K::zero}, {K::zero}, {K::zero}, {K::zero}, {K::zero},
        {K::zero}, {K::zero}, {K::zero}, {K::zero}, {K::bytes, " 40\n"}},
       K::fail, {"r 40"}, 10},
      {"an interrupted receive is retried, a failed one closes",
       {{K::bytes, "a"}, {K::intr}, {K::bytes, "b\nc"}, {K::fail}, {K::bytes, "d\n"}}, K::zero,
       {"ab"}, 0},
  };
  for (const rd_case& c : cases) {
    SCOPED_TRACE(c.what);
    stream s;
    s.steps = c.steps;
    s.end = c.end;
    dbgs_rd rd;
    rd.src = s.src();
    std::vector<std::string> got;
    char line[DBGS_BUF];
    // Taken at the expected length, since a line may hold a NUL; a surplus line shows empty.
    while (got.size() < 10 && dbgs_getline(&rd, line))
      got.emplace_back(line, got.size() < c.lines.size() ? c.lines[got.size()].size() : 0);
    EXPECT_EQ(got, c.lines);
    EXPECT_EQ(s.pauses, c.pauses);
  }
}

TEST(LineReader, BurstOfLinesTakesOneReceive)
{
  stream s;
  std::string burst;
  for (int i = 0; i < 16; i++)
    burst += "r d80 40\n";
  s.steps = {{K::bytes, burst}};
  dbgs_rd rd;
  rd.src = s.src();
  char line[DBGS_BUF];
  for (int i = 0; i < 16; i++) {
    ASSERT_TRUE(dbgs_getline(&rd, line));
    EXPECT_STREQ(line, "r d80 40");
  }
  EXPECT_EQ(s.gets, 1);
}
