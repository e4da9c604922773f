// Faults on the servo line, with the whole daemon running: orvane-sim drives a virtual servo
// chain that this test serves itself (--serial), so every fault the chain can inject is at hand.
// Whatever the line does, the cycles go on, the control loop and the monitor are unaffected, and
// no position other than the servo's true one or "no reading" ever shows in the map.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/map.h"
#include "sim/servo_chain.h"
#include "support/daemon_watch.h"
#include "support/emulation.h"
#include "support/sim_process.h"

namespace {

const uint16_t NO_READING = 0x8000;
const std::vector<uint8_t> polled = {1, 2, 3};

struct ServoLineFaults : ::testing::Test {
  void SetUp() override
  {
    ORVANE_SKIP_IF_EMULATED();
    chain = servo_chain::start({1, 2, 3, 4, 5, 6, 40, 127}, true);
    ASSERT_NE(chain, nullptr);
    // Torque stays off (all ip_out words are 0), so the servos stay where they are put.
    for (uint8_t id : polled)
      chain->place(id, static_cast<int16_t>(100 * id - 250));
    sim = std::make_unique<SimProcess>(
        std::vector<std::string>{"--serial", chain->path(), "--no-console"});
    int port = sim->port();
    ASSERT_GT(port, 0) << sim->err();
    ASSERT_TRUE(host.connect(port));
    ASSERT_TRUE(host.write_map(MAP_RD_GROUP, {1, 3, 1, 2, 3}));  // group 0 asks servos 1, 2, 3
    ASSERT_TRUE(wait_until([&] { return all_true(); }, 20s, 20ms));
    before = whole_map(host);
    idle = daemon_passes(host, 2s);
  }
  void TearDown() override
  {
    sim.reset();
    if (chain)
      chain->stop();
  }

  static uint16_t truth(uint8_t id) { return static_cast<uint16_t>(100 * id - 250); }
  std::vector<uint16_t> readings()
  {
    std::vector<uint8_t> b = host.read_map(map_sv_pos(1), 2 * static_cast<uint32_t>(polled.size()));
    std::vector<uint16_t> w;
    for (size_t i = 0; i + 1 < b.size(); i += 2)
      w.push_back(static_cast<uint16_t>(b[i] | b[i + 1] << 8));
    return w;
  }
  bool all_true()
  {
    auto w = readings();
    for (size_t i = 0; i < polled.size(); i++)
      if (w.size() != polled.size() || w[i] != truth(polled[i]))
        return false;
    return true;
  }
  size_t marks() { return sim->out().size(); }  // standard output holds only overrun marks here

  // What every fault test ends with: the daemon ticks at its rate, the map holds nothing but the
  // test's read group and the daemon's own fields, and nothing but overrun marks went to stdout.
  void expect_unharmed()
  {
    EXPECT_TRUE(daemon_ticking(host));
    uint32_t now = daemon_passes(host, 2s);
    EXPECT_GE(now, idle / 2) << "passes in 2 s: " << idle << " before, " << now << " after";
    EXPECT_EQ(map_changes(before, whole_map(host)), std::vector<uint32_t>{});
    EXPECT_EQ(sim->out().find_first_not_of(' '), std::string::npos) << sim->out();
    EXPECT_EQ(sim->wait_exit(0ms), std::nullopt);
  }

  servo_chain* chain = nullptr;
  std::unique_ptr<SimProcess> sim;
  MonitorClient host;
  std::vector<uint8_t> before;
  uint32_t idle = 0;
};

}  // namespace

TEST_F(ServoLineFaults, EveryServoSilentMarksOverrunsAndTheServosComeBack)
{
  uint32_t packets = static_cast<uint32_t>(chain->packet_count());
  for (uint8_t id = 1; id <= 6; id++)
    chain->fault(id, sv_fault::silent);
  size_t m0 = marks();

  // Each cycle waits out the line's 0.1 s for servo 1 and stops its group there: servo 1 holds
  // no reading, the others keep what their last query gave (none, if the silence began while
  // they were being asked), and the ticks that fall into the cycle are marked.
  EXPECT_TRUE(wait_until(
      [&] {
        auto w = readings();
        return w.size() == 3 && w[0] == NO_READING && (w[1] == truth(2) || w[1] == NO_READING) &&
               (w[2] == truth(3) || w[2] == NO_READING);
      },
      20s, 20ms));
  auto held = readings();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(readings(), held);  // nobody answers, so nothing changes
  EXPECT_TRUE(wait_until([&] { return marks() >= m0 + 10; }, 20s));
  EXPECT_TRUE(wait_until([&] { return chain->packet_count() >= packets + 30; }, 20s))
      << "the cycles stopped";
  uint32_t passes = daemon_passes(host, 2s);
  EXPECT_GE(passes, idle / 2) << "passes in 2 s: " << idle << " before, " << passes << " silent";
  EXPECT_EQ(host.read_u32(MAP_TICK_PERIOD), 16667u);
  printf("all servos silent: %u passes in 2 s (%u before), %zu overrun marks so far\n", passes,
         idle, marks() - m0);

  for (uint8_t id = 1; id <= 6; id++)
    chain->fault(id, sv_fault::none);
  EXPECT_TRUE(wait_until([&] { return all_true(); }, 20s, 20ms));
  expect_unharmed();
}

TEST_F(ServoLineFaults, NoiseAndBrokenOrLateRepliesNeverShowAWrongPosition)
{
  std::atomic<bool> stop{false};
  std::thread line([&] {
    std::mt19937 rng(2015);
    const sv_fault kinds[] = {sv_fault::bad_csum, sv_fault::other_id, sv_fault::short_reply,
                              sv_fault::late_reply, sv_fault::silent};
    for (int i = 0; !stop; i++) {
      std::vector<uint8_t> burst(1 + rng() % 40);
      for (uint8_t& b : burst)
        b = static_cast<uint8_t>(rng());
      chain->noise(burst);
      uint8_t id = polled[rng() % polled.size()];
      chain->fault(id, kinds[i % 5], 1 + static_cast<int>(rng() % 3));
      std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 60));
    }
  });
  // Every reading taken while the line misbehaves is the servo's own position or none at all.
  std::vector<uint16_t> wrong;
  bool none_seen = false;
  size_t samples = 0;
  auto end = std::chrono::steady_clock::now() + 4s;
  while (std::chrono::steady_clock::now() < end) {
    auto w = readings();
    ASSERT_EQ(w.size(), polled.size());
    for (size_t i = 0; i < w.size(); i++) {
      samples++;
      none_seen = none_seen || w[i] == NO_READING;
      if (w[i] != NO_READING && w[i] != truth(polled[i]))
        wrong.push_back(w[i]);
    }
    std::this_thread::sleep_for(10ms);
  }
  stop = true;
  line.join();
  EXPECT_EQ(wrong, std::vector<uint16_t>{});
  printf("noise and faulty replies for 4 s: %zu readings sampled, none wrong\n", samples);
  EXPECT_TRUE(none_seen);  // the faults did reach the exchange

  // Once the line is quiet, all three read true again.
  EXPECT_TRUE(wait_until([&] { return all_true(); }, 20s, 20ms));
  expect_unharmed();
}

TEST_F(ServoLineFaults, IdsOutsideOneToThirtyTwoAreAskedButTheirAnswersNeverStored)
{
  // Servos 40 and 127 answer; id 0 is the long packets' address, which no servo answers, so the
  // group ends there. Servo 1, first in the group, is moved to show that the group is polled.
  auto replies = [&](uint8_t id) {
    sv_state st{};
    return chain->state(id, &st) ? st.replies : 0u;
  };
  // The group is off while its ids change, so no cycle polls a mixture of old and new ids.
  ASSERT_TRUE(host.write_map(MAP_RD_GROUP, {0}));
  ASSERT_TRUE(host.write_map(MAP_RD_GROUP + 1, {4, 1, 40, 127, 0}));
  ASSERT_TRUE(host.write_map(MAP_RD_GROUP, {1}));
  ASSERT_TRUE(chain->place(1, 333));
  ASSERT_TRUE(chain->place(40, 400));  // answers that would show wherever they were stored
  ASSERT_TRUE(chain->place(127, -127));
  EXPECT_TRUE(wait_until(
      [&] {
        return replies(40) >= 5 && replies(127) >= 5 && host.read_u16(map_sv_pos(1)) == 333;
      },
      20s, 20ms));
  EXPECT_GE(replies(40), 5u);

  // ip_out, ip_count and the host bytes after sv_pos are as they were.
  std::vector<uint8_t> after = whole_map(host);
  ASSERT_EQ(after.size(), MAP_SIZE);
  std::vector<uint32_t> changed;
  for (uint32_t off = MAP_IP_OUT; off < MAP_SIZE; off++)
    if (after[off] != before[off] && (off < MAP_SV_POS || off >= MAP_SV_POS + 2 * MAP_SV_IDS))
      changed.push_back(off);
  EXPECT_EQ(changed, std::vector<uint32_t>{});

  ASSERT_TRUE(host.write_map(MAP_RD_GROUP, {1, 3, 1, 2, 3, 0}));
  expect_unharmed();
}
