// The runner around the daemon, as its user meets it: a taken port, the folders of killed
// runners, and --read-all, with orvane-sim as a process; the read groups' layout as a function.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>

#include "core/map.h"
#include "sim/read_all.h"
#include "support/emulation.h"
#include "support/monitor_client.h"
#include "support/sim_process.h"
#include "support/temp_dir.h"

namespace {

// Points TMPDIR, where the runner makes its folder, at `dir` for the scope's life.
struct TmpDirScope {
  std::optional<std::string> old;
  explicit TmpDirScope(const std::string& dir)
  {
    if (const char* o = getenv("TMPDIR"))
      old = o;
    setenv("TMPDIR", dir.c_str(), 1);
  }
  ~TmpDirScope() { old ? setenv("TMPDIR", old->c_str(), 1) : unsetenv("TMPDIR"); }
};

std::set<std::string> names_in(const std::string& dir)
{
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.insert(e.path().filename());
  return names;
}

}  // namespace

TEST(SimRunner, SecondRunnerOnATakenPortEndsWithStatus1NamingThePort)
{
  ORVANE_SKIP_IF_EMULATED();
  SimProcess first({"--no-console"});
  int port = first.port();
  ASSERT_GT(port, 0) << first.err();
  SimProcess second({"--port", std::to_string(port), "--no-console"});
  EXPECT_EQ(second.wait_exit(20s), 1) << second.err();
  EXPECT_TRUE(second.wait_output_closed(10s));
  // The daemon's own line stays; on a busy machine overrun marks (single spaces) may come too.
  std::string out = second.out();
  size_t line = out.find("bind() failed(98)\n");
  ASSERT_NE(line, std::string::npos) << out;
  out.erase(line, strlen("bind() failed(98)\n"));
  EXPECT_EQ(out.find_first_not_of(' '), std::string::npos) << second.out();
  EXPECT_EQ(second.err(), "orvane-sim: port " + std::to_string(port) +
                              " is in use (another orvane-sim?); choose another with --port N\n");
  MonitorClient host;  // the first one serves on
  EXPECT_TRUE(host.connect(port));
}

// A runner's folder lives only until the daemon has opened its files, so a runner killed later
// leaves nothing; one killed earlier leaves a folder whose lock is free, which the next runner
// removes. Folders whose owner may still run stay.
TEST(SimRunner, KilledRunnersLeaveNothingAndTheirFoldersAreSweptAtStart)
{
  ORVANE_SKIP_IF_EMULATED();
  enum class lock { free, held, none };
  struct Planted {
    const char* name;
    lock how;
    bool kept;
  };
  const Planted planted[] = {
      {"orvane-sim.dead01", lock::free, false},  // killed during start-up
      {"orvane-sim.live01", lock::held, true},   // a runner still starting
      {"orvane-sim.nolock", lock::none, true},   // a runner older than the lock
      {"orvane-simXdead02", lock::free, true},   // not a runner's folder
  };
  TempDir tmp;
  std::vector<int> held;
  std::set<std::string> kept;
  for (const auto& p : planted) {
    std::string dir = tmp.path + "/" + p.name;
    std::filesystem::create_directory(dir);
    tmp.file(std::string(p.name) + "/mem", "gpio");
    if (p.how == lock::free)
      tmp.file(std::string(p.name) + "/lock", "1\n");
    if (p.how == lock::held) {
      held.push_back(open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
      ASSERT_EQ(flock(held.back(), LOCK_EX), 0);
    }
    if (p.kept)
      kept.insert(p.name);
  }

  TmpDirScope scope(tmp.path);
  SimProcess sim({"--no-console"});
  ASSERT_GT(sim.port(), 0) << sim.err();
  EXPECT_EQ(names_in(tmp.path), kept);  // the runner's own folder has gone already
  sim.send_signal(SIGKILL);
  EXPECT_EQ(sim.wait_exit(20s), -SIGKILL);
  EXPECT_EQ(names_in(tmp.path), kept);
  for (int fd : held)
    close(fd);
}

TEST(SimRunner, ReadAllPutsTheWriteListIntoReadGroupsAndEveryServoIsRead)
{
  ORVANE_SKIP_IF_EMULATED();
  struct Case {
    std::vector<std::string> args;
    std::vector<uint8_t> groups;  // the read groups' first bytes, the rest zero
    int servos_read;              // of ids 1..6
  };
  const std::vector<uint8_t> image = {1, 1, 1};
  const std::vector<uint8_t> two_of_three = {1, 3, 1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                             1, 3, 4, 5, 6};
  for (const Case& c : {Case{{"--no-console"}, image, 1},
                        Case{{"--no-console", "--read-all"}, two_of_three, 6}}) {
    SimProcess sim(c.args);
    MonitorClient host;
    ASSERT_TRUE(host.connect(sim.port())) << sim.err();
    std::vector<uint8_t> want = c.groups;
    want.resize(SIM_RD_BYTES);
    EXPECT_EQ(host.read_map(MAP_RD_GROUP, SIM_RD_BYTES), want);
    auto read = [&] {
      int n = 0;
      for (uint8_t id = 1; id <= 6; id++)
        n += host.read_u16(map_sv_pos(id)) != 0x8000;
      return n;
    };
    EXPECT_TRUE(wait_until([&] { return read() == c.servos_read; }, 20s, 50ms)) << read();
  }
}

TEST(ReadLayout, FewestGroupsThatKeepTheCycleWithinTheTickFilledEvenly)
{
  struct Case {
    const char* what;
    std::vector<uint8_t> ids;
    int32_t tick_us;
    std::vector<std::vector<uint8_t>> groups;  // ids of each group used
  };
  std::vector<uint8_t> thirty;
  for (uint8_t id = 1; id <= 30; id++)
    thirty.push_back(id);
  const Case cases[] = {
      {"six at 60 Hz", {1, 2, 3, 4, 5, 6}, 16667, {{1, 2, 3}, {4, 5, 6}}},
      {"six at 30 Hz", {1, 2, 3, 4, 5, 6}, 33333, {{1, 2, 3, 4, 5, 6}}},
      {"no position word, or twice", {0, 7, 40, 7, 2, 255}, 16667, {{7, 2}}},
      {"thirty: four groups, the line full anyway",
       thirty,
       16667,
       {{1, 2, 3, 4, 5, 6, 7, 8},
        {9, 10, 11, 12, 13, 14, 15, 16},
        {17, 18, 19, 20, 21, 22, 23},
        {24, 25, 26, 27, 28, 29, 30}}},
      {"none to read", {0, 33}, 16667, {}},
  };
  for (const Case& c : cases) {
    uint8_t got[SIM_RD_BYTES];
    memset(got, 0xee, sizeof got);
    unsigned used = sim_read_layout(c.ids.data(), static_cast<unsigned>(c.ids.size()),
                                    static_cast<unsigned>(c.ids.size()), c.tick_us, got);
    EXPECT_EQ(used, c.groups.size()) << c.what;
    if (c.groups.empty()) {
      EXPECT_EQ(got[0], 0xee) << c.what << ": the groups are left as they were";
      continue;
    }
    std::vector<uint8_t> want;
    for (const auto& ids : c.groups) {
      want.insert(want.end(), {1, static_cast<uint8_t>(ids.size())});
      want.insert(want.end(), ids.begin(), ids.end());
      want.resize(want.size() + MAP_RD_ROOM - ids.size());
    }
    want.resize(SIM_RD_BYTES);
    EXPECT_EQ(std::vector<uint8_t>(got, got + SIM_RD_BYTES), want) << c.what;
  }
}
