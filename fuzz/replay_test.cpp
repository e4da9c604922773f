// Every input kept for a fuzz target, run through it: the seed corpus of documented examples in
// fuzz/corpus/<target>/ and the reproducers of faults found, fuzz/regressions/<target>/. A
// broken promise aborts the program and names the input.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz.h"

namespace fs = std::filesystem;

// Runs every file under the target's two folders; the number of files run.
static size_t replay(const char* target, int (*entry)(const uint8_t*, size_t))
{
  std::vector<fs::path> files;
  for (const char* kind : {"corpus", "regressions"}) {
    fs::path dir = fs::path(ORVANE_FUZZ_DIR) / kind / target;
    if (fs::is_directory(dir))
      for (const auto& e : fs::directory_iterator(dir))
        if (e.is_regular_file() && e.path().filename() != ".keep")
          files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::string name = f.string();
    fuzz_input_name = name.c_str();
    entry(data.data(), data.size());
    fuzz_input_name = nullptr;
  }
  return files.size();
}

TEST(FuzzReplay, MonitorCommandsAnswerWellFormedLinesForEveryKeptInput)
{
  EXPECT_GE(replay("monitor_cmd", fuzz_monitor_cmd), 10u);
}

TEST(FuzzReplay, HexHelpersAgreeWithTheDigitModelForEveryKeptInput)
{
  EXPECT_GE(replay("hex", fuzz_hex), 5u);
}

TEST(FuzzReplay, ServoReplyAcceptanceFollowsItsRulesForEveryKeptInput)
{
  EXPECT_GE(replay("servo_reply", fuzz_servo_reply), 5u);
}

TEST(FuzzReplay, ServoChainFramesAndAnswersEveryKeptInput)
{
  EXPECT_GE(replay("chain_parse", fuzz_chain_parse), 5u);
}

TEST(FuzzReplay, BufferedLineReaderMatchesTheByteWiseOneForEveryKeptInput)
{
  EXPECT_GE(replay("monitor_lines", fuzz_monitor_lines), 10u);
}

#ifdef ORVANE_FUZZ_HOST
TEST(FuzzReplay, BridgeCommandCheckReturnsAndTakesEveryStopForEveryKeptInput)
{
  EXPECT_GE(replay("mq_check", fuzz_mq_check), 8u);
}

TEST(FuzzReplay, ClassroomViewKeepsOnlyWhatARobotCanHaveForEveryKeptInput)
{
  EXPECT_GE(replay("room_state", fuzz_room_state), 5u);
}
#endif
