// Mirroring's pure parts: joint pairs from profiles and options, the goal limiter, the read
// groups' layout, and the reading rule over raw map bytes against the client library's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include <sys/socket.h>
#include <unistd.h>

#include "host/mirror/layout.h"
#include "host/mirror/limiter.h"
#include "host/mirror/link.h"
#include "host/mirror/pairs.h"
#include "host/mirror/rules.h"
#include "host/mirror/side.h"
#include "support/fake_robot.h"
#include "support/sim_process.h"

namespace mi = orvane::mirror;
namespace mo = orvane::motion;

namespace {

const char* arm_yaml = R"(joints:
  base:     {id: 1, min: -120, max: 120}
  shoulder: {id: 2, min: -90, max: 90}
  elbow:    {id: 3, reverse: true, min: -10, max: 135}
)";

const char* twin_yaml = R"(joints:
  base:     {id: 7}
  shoulder: {id: 8}
  elbow:    {id: 9, reverse: true}
)";

std::string pairs_text(const std::vector<mi::pair>& ps)
{
  std::string s;
  for (const mi::pair& p : ps)
    s += (s.empty() ? "" : " ") + std::to_string(p.follower.id) + "<" + std::to_string(p.leader.id) +
         (p.scale != 1 ? "*" + mo::fmt_deg(p.scale) : "") + (p.offset != 0 ? "+" + mo::fmt_deg(p.offset) : "");
  return s;
}

}  // namespace

TEST(MirrorPairs, ProfilesAndOptionsPairJointsOrSayWhatIsWrong)
{
  mo::profile arm = mo::profile_parse(arm_yaml, "arm.yaml"), twin = mo::profile_parse(twin_yaml, "twin.yaml");
  mo::profile none = mo::profile_none();
  struct row {
    const mo::profile *leader, *follower;
    mi::pair_options joint_map;
    bool same;
    const char* pairs;  // or the start of the error
  };
  const row rows[] = {
      {&arm, &arm, {}, false, "1<1 2<2 3<3"},
      {&arm, &twin, {}, true, "7<1 8<2 9<3"},  // one bus, named alike
      {&arm, &arm, {}, true, "servo 1 cannot lead itself"},
      {&none, &none, {{"7-9=1-3"}, {}, {}}, true, "7<1 8<2 9<3"},
      {&none, &none, {}, false, "4<4 5<5"},  // the follower's write list
      {&arm, &arm, {{"elbow=base"}, {"elbow=-1"}, {"elbow=10"}}, false, "3<1*-1+10"},
      {&arm, &arm, {{"3=1"}, {}, {}}, false, "3<1"},  // servo ids with profiles
      {&arm, &arm, {{"elbow=knee"}, {}, {}}, false, "--map elbow=knee: the leader has no joint 'knee'"},
      {&none, &none, {{"7=1-6"}, {}, {}}, false, "--map 7=1-6: 1 follower joints for 6 leader joints"},
      {&none, &none, {{"7=1", "7=2"}, {}, {}}, false, "--map 7=2: servo 7 is led twice"},
      {&none, &none, {{"2=1", "3=2"}, {}, {}}, true, "servo 2 cannot be read limp and driven at once"},
      {&arm, &arm, {{"base=base"}, {"elbow=2"}, {}}, false, "--scale elbow=2: elbow is not a mirrored joint"},
      {&arm, &arm, {{}, {"base=0"}, {}}, false, "--scale base=0: a scale of 0"},
      {&arm, &arm, {{}, {"base=x"}, {}}, false, "--scale base=x: 'x' is not a number"},
      {&arm, &arm, {{}, {}, {"base"}}, false, "--offset 'base' is not FOLLOWER=VALUE"},
      {&none, &none, {{"9-7=1-3"}, {}, {}}, false, "--map 9-7=1-3: '9-7' is not a range"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.pairs);
    std::string got;
    try {
      got = pairs_text(mi::make_pairs(*r.leader, *r.follower, r.joint_map, {4, 5, 40}, r.same));
    } catch (const mi::pair_error& e) {
      got = e.what();
    }
    EXPECT_EQ(got.rfind(r.pairs, 0), 0u) << got;
  }
}

TEST(MirrorLimiter, NeverPassesItsSpeedOrAccelerationAndComesToRestOnItsTarget)
{
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> target(-150, 150), dt(0.004, 0.02);
  const mi::limits cases[] = {{120, 600}, {30, 60}, {90, 0}, {0, 400}};
  for (const mi::limits& l : cases) {
    SCOPED_TRACE(testing::Message() << "speed " << l.speed << " accel " << l.accel);
    mi::limiter m;
    m.start(0);
    double tgt = target(rng);
    for (int i = 0; i < 20000; i++) {
      if (i % 700 == 0)
        tgt = target(rng);  // the leader jumps somewhere else, often while the goal moves
      double step = dt(rng), x0 = m.x, v0 = m.v;
      m.step(tgt, step, l);
      if (l.speed > 0) {
        ASSERT_LE(std::fabs(m.x - x0), l.speed * step * (1 + 1e-9)) << i;
      }
      if (l.accel > 0) {
        ASSERT_LE(std::fabs(m.v - v0), l.accel * step * (1 + 1e-9)) << i;
      }
    }
    // A target that stands still is reached without passing it by as much as the servos' unit,
    // at steps that come as unevenly as the loop's.
    for (double from : {-100.0, 140.0}) {
      m.start(from);
      double worst = 0;
      for (int i = 0; i < 5000 && !(m.x == 50 && m.v == 0); i++) {
        m.step(50, dt(rng), l);
        worst = std::max(worst, (m.x - 50) * (from < 50 ? 1 : -1));
      }
      EXPECT_EQ(m.x, 50);
      EXPECT_LT(worst, 0.005);
    }
  }
  mi::limiter free;
  free.start(3);
  EXPECT_EQ(free.step(-140, 0.0167, {}), -140);  // no limits: the goal is the target
}

TEST(MirrorLimiter, EngageClosesTheGapAtItsOwnSpeedBeyondTheTargets)
{
  // A still target is reached at the closing speed; a moving one is caught up with, at its
  // speed plus the closing speed, never above the top speed.
  const double tick = 1 / 60.0;
  for (double moving : {0.0, 90.0}) {
    mi::limiter m;
    m.start(-100);
    mi::limits l{120, 600, 30};
    double before = m.x, fastest = 0;
    int k = 0;
    for (; k < 2000; k++) {
      double target = std::round((50 + moving * k * tick) * 10) / 10;
      m.follow(target, k * tick, tick, l);
      fastest = std::max(fastest, std::fabs(m.x - before) / tick);
      before = m.x;
      if (m.x == target)
        break;
    }
    EXPECT_LT(k, 2000);
    EXPECT_LE(fastest, (moving ? 120 : 30) * (1 + 1e-9)) << moving;
  }
}

TEST(MirrorLimiter, FollowsReadingsWithinItsLimitsAsTheyComeAndFasterOnesAtTheLimits)
{
  const double tick = 1 / 60.0;
  const mi::limits l{180, 1800};
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> late(0, 0.4 * tick);
  for (double amplitude : {40.0, 120.0}) {  // from rest, 100 degrees a second at most, then 300
    SCOPED_TRACE(amplitude);
    mi::limiter m;
    m.start(0);
    int exact = 0, moves = 0;
    double last_x = 0, last_t = 0;
    auto look = [&](double reading, double t) {
      // Each move is of at most a reading interval at the top speed, or two or three when as
      // many have passed since the last.
      double x = m.follow(reading, t, tick, l);
      if (x != last_x) {
        double intervals = std::clamp(std::round((t - last_t) / tick), 1.0, 3.0);
        EXPECT_LE(std::fabs(x - last_x), l.speed * tick * intervals * (1 + 1e-6)) << t;
        last_x = x, last_t = t;
      }
      return x;
    };
    double reading = 0;
    for (int k = 0; k < 600; k++) {
      // A loaded robot skips a servo cycle now and then: that tick brings no new reading.
      if (k % 7 != 3)
        reading = std::round(amplitude * (1 - std::cos(2 * M_PI * 0.4 * k * tick)) * 10) / 10;
      // The loop sees each reading a little late, and looks again half a tick on.
      exact += look(reading, k * tick + late(rng)) == reading;
      exact += look(reading, (k + 0.5) * tick + late(rng)) == reading;
      moves += 2;
    }
    if (amplitude == 40)
      EXPECT_EQ(exact, moves);  // within the limits the goal is the reading, every time
    else
      EXPECT_LT(exact, moves / 2);
  }
}

TEST(MirrorLayout, LeaderServosReadEveryTickTheyFitAndOthersInTheRoomLeft)
{
  using G = orvane::read_groups;
  struct row {
    std::vector<int> leader, others;
    int room;
    G groups;
    int leader_every, others_every;
    std::vector<int> unread;
  };
  const row rows[] = {
      {{1, 2, 3, 4, 5, 6}, {}, 6, {{{1, 2, 3, 4, 5, 6}, {}, {}, {}}}, 1, 0, {}},
      // Two arms on one bus at 60 Hz: the follower's six in the write list leave room for five.
      {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}, 5,
       {{{1, 2, 3, 7, 8}, {4, 5, 6, 9, 10}, {1, 2, 3, 11, 12}, {4, 5, 6}}}, 2, 4, {}},
      {{1, 2, 3, 4, 5, 6}, {7, 8}, 6, {{{1, 2, 3, 4, 5, 6}, {}, {}, {}}}, 1, 0, {7, 8}},
      {{1, 2, 3}, {7, 8, 9}, 6, {{{1, 2, 3, 7, 8, 9}, {}, {}, {}}}, 1, 1, {}},
      {{1, 2, 3}, {4, 5, 6, 7}, 5, {{{1, 2, 3, 4, 5}, {1, 2, 3, 6, 7}, {}, {}}}, 1, 2, {}},
      // More than four groups would hold: every group takes more than a tick allows.
      {{1, 2, 3, 4, 5, 6, 7, 8}, {}, 1, {{{1, 2}, {3, 4}, {5, 6}, {7, 8}}}, 4, 0, {}},
  };
  for (const row& r : rows) {
    mi::layout l = mi::mirror_layout(r.leader, r.others, r.room);
    EXPECT_EQ(l.groups, r.groups);
    EXPECT_EQ(l.leader_every, r.leader_every);
    EXPECT_EQ(l.others_every, r.others_every);
    EXPECT_EQ(l.unread, r.unread);
  }
}

TEST(MirrorRules, ReadingRuleOverMapBytesAgreesWithTheClientLibrary)
{
  // Random groups and words, judged by both; the raw rule also knows the two states that need
  // sv_comm_on and the mark of a servo not read yet.
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> id(0, 12), count(0, 6), pick(0, 9);
  // The library's own rule takes any other word than 0x8000 for a reading; the words it judges
  // alike are the ones that mark a failure.
  for (int round = 0; round < 2000; round++) {
    std::vector<uint8_t> g(64, 0);
    for (int i = 0; i < 4; i++) {
      g[16 * static_cast<size_t>(i)] = pick(rng) < 7 ? 1 : 2;
      int n = count(rng);
      g[16 * static_cast<size_t>(i) + 1] = static_cast<uint8_t>(n);
      for (int k = 0; k < n; k++)
        g[16 * static_cast<size_t>(i) + 2 + static_cast<size_t>(k)] = static_cast<uint8_t>(id(rng));
    }
    std::vector<int16_t> pos(32);
    for (auto& w : pos)
      w = pick(rng) < 2 ? orvane::no_reading : static_cast<int16_t>(pick(rng) * 100);
    for (int s = 1; s <= 12; s++) {
      if (pos[static_cast<size_t>(s - 1)] != orvane::no_reading)
        continue;
      int blocker = 0;
      mi::reading raw = mi::reading_at(g.data(), pos.data(), true, s, &blocker);
      orvane::reading_info lib = orvane::reading_of(orvane::groups_decode(g), pos, s);
      ASSERT_EQ(static_cast<int>(raw), static_cast<int>(lib.state)) << "round " << round << " servo " << s;
      if (raw == mi::reading::behind) {
        ASSERT_EQ(blocker, lib.blocker);
      }
    }
  }
  std::vector<uint8_t> g(64, 0);
  g[0] = 1, g[1] = 2, g[2] = 3, g[3] = 4;
  std::vector<int16_t> pos(32, 0);
  pos[3] = mi::not_read_yet;
  pos[9] = 120;  // servo 10: a word left from before, in no group now
  EXPECT_EQ(mi::reading_at(g.data(), pos.data(), true, 3, nullptr), mi::reading::valid);
  EXPECT_EQ(mi::reading_at(g.data(), pos.data(), true, 10, nullptr), mi::reading::no_group);
  EXPECT_EQ(mi::reading_at(g.data(), pos.data(), true, 4, nullptr), mi::reading::never_read);
  EXPECT_EQ(mi::reading_at(g.data(), pos.data(), false, 3, nullptr), mi::reading::comm_off);
  EXPECT_EQ(mi::reading_at(g.data(), pos.data(), false, 5, nullptr), mi::reading::no_group);
  pos[2] = orvane::no_reading;  // servo 3 silent: servo 4 behind it keeps an old word
  pos[3] = 77;
  int blocker = 0;
  EXPECT_EQ(mi::reading_at(g.data(), pos.data(), true, 4, &blocker), mi::reading::behind);
  EXPECT_EQ(blocker, 3);
}

// The loop's link takes answers only as the dumps it asked for, in turn, however the bytes
// arrive; anything else from the robot ends the link with a reason.
TEST(MirrorLink, TakesOnlyTheDumpsItAskedForInTurn)
{
  struct row {
    std::vector<std::string> chunks;  // what the robot sends after each request line, in pieces
    bool ok;
    const char* why;
  };
  const row rows[] = {
      {{"#0080 01 02 03 04 \r\n"}, true, ""},
      {{"#0080 01 0", "2 03 04 \r", "\n"}, true, ""},  // an answer in pieces
      {{"#0081 01 02 03 04 \r\n"}, false, "an answer for another address"},
      {{"#0080 01 02 03 \r\n"}, false, "not the dump asked for"},
      {{"#0080 01 02 03 zz \r\n"}, false, "not the dump asked for"},
      {{"#0080 01 02 03 04 \r\n#0080 01 02 03 04 \r\n"}, false, "an answer nobody asked for"},
      {{}, false, "connection closed"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.why);
    FakeRobot robot([&](int fd) {
      FakeRobot::banner(fd);
      FakeRobot::read_line(fd);
      for (const std::string& c : r.chunks) {
        ASSERT_EQ(send(fd, c.data(), c.size(), MSG_NOSIGNAL), static_cast<ssize_t>(c.size()));
        std::this_thread::sleep_for(20ms);
      }
    });
    mi::tick_link l;
    ASSERT_TRUE(l.open(robot.address(), 5s)) << l.reason();
    uint8_t got[4] = {};
    ASSERT_TRUE(l.want(0x80, 4, got));
    ASSERT_TRUE(l.send());
    if (r.ok) {
      EXPECT_TRUE(wait_until([&] { return l.take() && l.awaited() == 0; }, 10s)) << l.reason();
      EXPECT_EQ(std::vector<uint8_t>(got, got + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    } else {
      EXPECT_TRUE(wait_until([&] { return !l.take(); }, 10s));
      EXPECT_FALSE(l.up());
      EXPECT_NE(std::string(l.reason()).find(r.why), std::string::npos) << l.reason();
    }
  }
}

TEST(MirrorSide, SameRobotIsTheSameDaemonWhateverItsName)
{
  EXPECT_TRUE(mi::same_robot("localhost:6501", "127.0.0.1:6501"));
  EXPECT_TRUE(mi::same_robot("127.0.0.1", "localhost:6498"));
  EXPECT_FALSE(mi::same_robot("127.0.0.1:6501", "127.0.0.1:6502"));
  EXPECT_FALSE(mi::same_robot("127.0.0.1:6501", "127.0.0.2:6501"));
  EXPECT_EQ(mi::tick_us_of(20000), 20000);
  EXPECT_EQ(mi::tick_us_of(0), 16667);  // a period the daemon does not take: it runs at 60 Hz
}
