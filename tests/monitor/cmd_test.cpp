#include "monitor/cmd.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/image.h"

using Lines = std::vector<std::string>;

// A fresh map image and the remembered region of a freshly started daemon.
class Monitor : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  static void reset()
  {
    mem_init();
    adr = 0x0180;
    len = 0x0080;
  }
  // Carries out one line; the answer lines as sent, CR LF included.
  static Lines run(const std::string& line, bool* quit = nullptr)
  {
    Lines out;
    dbgs_sink sink{[](void* ctx, const char* s, size_t n) {
                     static_cast<Lines*>(ctx)->emplace_back(s, n);
                   },
                   &out};
    bool q = dbgs_exec(line.c_str(), sink);
    if (quit)
      *quit = q;
    return out;
  }
  static std::string zeros(const char* addr)
  {
    return std::string("#") + addr +
           " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00  ................\r\n";
  }
  static Lines initial_region()
  {
    Lines l;
    for (const char* a : {"0180", "0190", "01a0", "01b0", "01c0", "01d0", "01e0", "01f0"})
      l.push_back(zeros(a));
    return l;
  }
};

TEST_F(Monitor, DumpsAnswerByteForByte)
{
  const std::string name =
      "#0020 5a 49 44 49 44 4f 56 45 00 00 00 00 00 00 00 00  ZIDIDOVE........\r\n";
  std::string r0_40 = "#0000 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                      "01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                      "5a 49 44 49 44 4f 56 45 00 00 00 00 00 00 00 00 "
                      "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 \r\n";
  const struct {
    std::string line;
    Lines answer;
  } rows[] = {
      {"r 20 10", {name}},
      {"20 10", {name}},
      {"r00200010", {name}},
      {"  r 20 10\r", {name}},
      {"r 40 4", {"#0040 1b 41 00 00  .A..\r\n"}},
      {"R a0 8", {"#00a0 01 06 01 02 03 04 05 06 \r\n"}},
      {"R A0 8", {"#00a0 01 06 01 02 03 04 05 06 \r\n"}},
      {"r a0 12",
       {"#00a0 01 06 01 02 03 04 05 06 00 00 00 00 00 00 00 00  ................\r\n",
        "#00b0 00 00  ..\r\n"}},
      {"r 0 11", {"#0000 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00  ................\r\n",
                  "#0010 01  .\r\n"}},
      {"R 0 40", {r0_40}},
      {"r 0 40", {zeros("0000"),
                  "#0010 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00  ................\r\n",
                  name, zeros("0030")}},
      // No address or count that parses: the remembered region, 128 bytes from 0x0180.
      {"", initial_region()},
      {"   \r", initial_region()},
      {"r", initial_region()},
      {"x 20 10", initial_region()},
      {"r\t20 10", initial_region()},  // tab is no blank: both parses stop on it
      // The map ends at 0x0FFF: only bytes that exist are shown.
      {"r ff8 10", {"#0ff8 00 00 00 00 00 00 00 00  ........\r\n"}},
      {"r 1000 10", {}},
      {"R ffff ffff", {}},
  };
  for (const auto& r : rows) {
    reset();
    EXPECT_EQ(run(r.line), r.answer) << '"' << r.line << '"';
  }
}

TEST_F(Monitor, WholeMapDumpsStopAtItsLastByte)
{
  Lines r = run("R 0 ffff");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].size(), 3 * MAP_SIZE + 8);
  EXPECT_EQ(r[0].substr(0, 12), "#0000 00 00 ");
  EXPECT_EQ(r[0].substr(r[0].size() - 5), "00 \r\n");

  r = run("r 0 ffff");
  ASSERT_EQ(r.size(), MAP_SIZE / 16);
  EXPECT_EQ(r.back(), zeros("0ff0"));
  EXPECT_EQ(len, 0xffff);  // the count is remembered as given
}

TEST_F(Monitor, TextColumnShowsControlBytesAsDotsAndAllOthersUnchanged)
{
  EXPECT_EQ(run("w 300 00 1f 20 41 7e 7f 80 ff 0a"), Lines{});
  EXPECT_EQ(run("r 300 9"),
            Lines{"#0300 00 1f 20 41 7e 7f 80 ff 0a  .. A~\x7f\x80\xff.\r\n"});
}

TEST_F(Monitor, ZeroCountIsRememberedAndSilencesLaterDumps)
{
  EXPECT_EQ(run("r 20 0"), Lines{});
  EXPECT_EQ(run(""), Lines{});
  EXPECT_EQ(run("r 40"), Lines{});
  EXPECT_EQ(run("r 40 4"), Lines{"#0040 1b 41 00 00  .A..\r\n"});
  EXPECT_EQ(run(""), Lines{"#0040 1b 41 00 00  .A..\r\n"});
}

TEST_F(Monitor, WritesStoreBytesInOrderUntilAValueDoesNotParse)
{
  const struct {
    const char* line;
    std::vector<uint8_t> stored;  // bytes from 0x0180 afterwards
  } rows[] = {
      {"W 180 01 02 zz 03", {0x01, 0x02, 0x00, 0x00}},
      {"W 01805 ff", {0x05, 0xff, 0x00}},
      {"w 180 0102ff", {0x01, 0x02, 0xff, 0x00}},
      {"W 180 1 2 \r", {0x01, 0x02, 0x00}},
      {"W180 A B", {0x0a, 0x0b, 0x00}},
      {"W 180 1\t2", {0x01, 0x00}},
      {"W 180", {0x00}},
      {"W zz 01", {0x00}},
  };
  for (const auto& r : rows) {
    reset();
    EXPECT_EQ(run(r.line), Lines{}) << r.line;
    for (size_t i = 0; i < r.stored.size(); i++)
      EXPECT_EQ(mem_r8(0x180 + static_cast<uint32_t>(i)), r.stored[i]) << r.line << " +" << i;
  }
}

TEST_F(Monitor, WriteSetsTheDumpAddressButNotTheCount)
{
  run("r 40 4");
  run("W zz 01");  // no address: nothing changes
  EXPECT_EQ(adr, 0x40);
  run("W 20 5a 5a");
  EXPECT_EQ(run(""), Lines{"#0020 5a 5a 44 49  ZZDI\r\n"});
  run("W 300");
  EXPECT_EQ(adr, 0x300);
  EXPECT_EQ(len, 4);
}

TEST_F(Monitor, WritesNeverReachBeyondTheMap)
{
  run("W ffe 01 02 03 04");
  EXPECT_EQ(run("R ffc 10"), Lines{"#0ffc 00 00 01 02 \r\n"});
  run("W 1000 01");
  run("W ffff 01");
  EXPECT_EQ(adr, 0xffff);
  EXPECT_EQ(run(""), Lines{});
}

TEST_F(Monitor, QuitCommandsEndTheConnectionSilently)
{
  for (const char* line : {"q", "Q", "!", "  quit now", "q 20 10"}) {
    bool quit = false;
    EXPECT_EQ(run(line, &quit), Lines{}) << line;
    EXPECT_TRUE(quit) << line;
  }
  for (const char* line : {"", "r", "R 0 1", "w 180 01", "x", "\tq"}) {
    bool quit = true;
    run(line, &quit);
    EXPECT_FALSE(quit) << line;
  }
}

// The line that ends the daemon is known before it is carried out, so that its connection can
// hold the end first: exactly the writes that store a nonzero byte into exit_req or poweroff_req,
// as the write itself would parse them. Telling it leaves the map and the remembered address alone.
TEST_F(Monitor, EndRequestIsKnownBeforeTheWriteAndExactlyAsTheWriteStores)
{
  const struct {
    const char* line;
    bool ends;
  } rows[] = {
      {"W 50 1", true},      {"w0050 ff", true},       {"  W 51 01", true},
      {"W 4f 00 01", true},  {"W 50 0001", true},      {"W 50 1 zz", true},
      {"W 50 0", false},     {"W 4f 01 00 00", false}, {"W 50 zz 1", false},
      {"W 52 1", false},     {"W 5001", false},        {"W 1050 1", false},
      {"r 50 1", false},     {"q W 50 1", false},      {"W\t50 1", false},
  };
  for (const auto& r : rows) {
    reset();
    EXPECT_EQ(dbgs_ends(r.line), r.ends) << r.line;
    EXPECT_EQ(mem_r8(MAP_EXIT_REQ) | mem_r8(MAP_POWEROFF_REQ), 0) << r.line;
    EXPECT_EQ(adr.load(), 0x0180) << r.line;
    run(r.line);
    EXPECT_EQ((mem_r8(MAP_EXIT_REQ) | mem_r8(MAP_POWEROFF_REQ)) != 0, r.ends) << r.line;
  }
}
