// Abuse of the monitor's line reading and commands through real loopback sockets: binary
// garbage, NUL bytes, endless lines, CR-only lines, dumps that nobody reads, and two hosts
// writing the same bytes at once. Every test checks that the daemon keeps ticking and that no
// map byte changed except the daemon's own fields and what the test wrote.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/map.h"
#include "support/daemon_watch.h"
#include "support/emulation.h"
#include "support/sim_process.h"

namespace {

struct AbuseInput : ::testing::Test {
  void SetUp() override
  {
    ORVANE_SKIP_IF_EMULATED();
    sim = std::make_unique<SimProcess>(std::vector<std::string>{"--no-console"});
    port = sim->port();
    ASSERT_GT(port, 0);
    ASSERT_TRUE(host.connect(port));
    before = whole_map(host);
    ASSERT_EQ(before.size(), MAP_SIZE);
    threads = proc_nthreads(sim->pid());
  }

  // Sends everything, waiting while the daemon is slow to take it; false if it stops taking.
  static bool send_all(int fd, const std::string& s)
  {
    size_t done = 0;
    while (done < s.size()) {
      ssize_t n = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
      if (n <= 0)
        return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  std::unique_ptr<SimProcess> sim;
  int port = -1;
  MonitorClient host;
  std::vector<uint8_t> before;
  int threads = 0;
};

// Cuts `text` into lines as the daemon does (at LF, or after 2047 characters) and turns every
// line that would be a write or a quit into a dump, so that garbage changes nothing by its
// meaning and keeps the connection open.
std::string defang(std::string text)
{
  size_t n = 0;
  bool first = true;
  for (char& c : text) {
    if (c == '\n') {
      n = 0;
      first = true;
      continue;
    }
    if (first && c != ' ' && c != '\r') {
      if (c == 'W' || c == 'w' || c == 'q' || c == 'Q' || c == '!')
        c = 'x';
      first = false;
    }
    if (++n == 2047) {
      n = 0;
      first = true;
    }
  }
  return text;
}

}  // namespace

TEST_F(AbuseInput, GarbageNulBytesEndlessAndCrOnlyLinesChangeNothing)
{
  int fd = net_loopback(port);
  ASSERT_GE(fd, 0);
  LineChecker reader(fd);

  std::mt19937 rng(6498);
  std::string garbage(size_t{64} * 1024, '\0');
  for (char& c : garbage)
    c = static_cast<char>(rng());
  std::string nul(size_t{16} * 1024, '\0');
  for (size_t i = 700; i < nul.size(); i += 3000)
    nul[i] = '\n';
  std::string endless;  // 40 KiB without a line end: dumps, writes and hex digits run together
  while (endless.size() < size_t{40} * 1024)
    endless += "W 40 01 00 00 00 R 0 1000 q ";
  std::string cr_only = std::string(size_t{8} * 1024, '\r');
  for (int i = 0; i < 500; i++)
    cr_only += "\r\n";

  for (const std::string* part : {&garbage, &nul, &endless, &cr_only}) {
    // Each part starts on a line of its own, so the cut lines are the ones defang saw.
    ASSERT_TRUE(send_all(fd, "\n" + defang(*part) + "\n"));
    EXPECT_TRUE(daemon_ticking(host));
  }
  ASSERT_TRUE(send_all(fd, "r 40 4\n"));
  EXPECT_TRUE(reader.wait_line("#0040 1b 41 00 00  .A..", 60s));
  EXPECT_FALSE(reader.ended());
  EXPECT_EQ(reader.malformed(), std::vector<std::string>{});
  EXPECT_EQ(map_changes(before, whole_map(host)), std::vector<uint32_t>{});
  net_reset(fd);
}

TEST_F(AbuseInput, DumpFloodThatNobodyReadsHoldsOnlyItsOwnConnection)
{
  int fd = net_loopback(port, true);
  ASSERT_GE(fd, 0);
  std::string flood;
  for (int i = 0; i < 2000; i++)
    flood += "R 0 1000\n";
  // Whatever the socket takes until the daemon stops reading because its answers pile up.
  size_t sent = 0;
  auto end = std::chrono::steady_clock::now() + 3s;
  while (sent < flood.size() && std::chrono::steady_clock::now() < end) {
    ssize_t n = send(fd, flood.data() + sent, flood.size() - sent, MSG_NOSIGNAL);
    if (n > 0)
      sent += static_cast<size_t>(n);
    else
      std::this_thread::sleep_for(10ms);
  }
  EXPECT_GT(sent, 0u);

  EXPECT_TRUE(daemon_ticking(host));
  MonitorClient other;
  ASSERT_TRUE(other.connect(port));
  EXPECT_EQ(other.read_u32(MAP_TICK_PERIOD), 16667u);
  EXPECT_TRUE(other.write_map(0x0300, {0x11, 0x22}));
  EXPECT_EQ(other.read_map(0x0300, 2), (std::vector<uint8_t>{0x11, 0x22}));
  other.send("q\n");

  // The stuck connection ends once its host resets it, and its thread with it.
  net_reset(fd);
  EXPECT_TRUE(wait_until([&] { return proc_nthreads(sim->pid()) == threads; }, 30s, 50ms))
      << proc_nthreads(sim->pid()) << " threads, " << threads << " before";
  EXPECT_TRUE(daemon_ticking(host));
  EXPECT_EQ(map_changes(before, whole_map(host), {{0x0300, 0x0302}}), std::vector<uint32_t>{});
}

TEST_F(AbuseInput, TwoHostsWritingTheSameBytesLeaveEachByteFromOneOfThem)
{
  constexpr uint32_t at = 0x0300, n = 64;
  constexpr uint32_t target = MAP_IP_TARGET + 2 * 100;  // a channel nothing consumes
  MonitorClient a, b;
  ASSERT_TRUE(a.connect(port));
  ASSERT_TRUE(b.connect(port));
  auto pattern = [](uint8_t base) {
    std::vector<uint8_t> p(n);
    for (uint32_t i = 0; i < n; i++)
      p[i] = static_cast<uint8_t>(base + i);
    return p;
  };
  const auto pa = pattern(0x10), pb = pattern(0x80);
  // Each byte may only ever be 0 (never written yet) or one host's value for it.
  auto from_one = [&](const std::vector<uint8_t>& got) {
    if (got.size() != n)
      return false;
    for (uint32_t i = 0; i < n; i++)
      if (got[i] != 0 && got[i] != pa[i] && got[i] != pb[i])
        return false;
    return true;
  };
  std::atomic<int> mixed{0};
  auto writer = [&](MonitorClient& c, const std::vector<uint8_t>& p, uint16_t word) {
    for (int round = 0; round < 300; round++) {
      c.write_map(at, p);
      c.write_u16(target, word);
      if (round % 20 == 0 && !from_one(c.read_map(at, n)))
        mixed++;
    }
  };
  std::thread ta([&] { writer(a, pa, 0x1234); });
  std::thread tb([&] { writer(b, pb, 0xabcd); });
  ta.join();
  tb.join();

  EXPECT_EQ(mixed, 0);
  auto last = host.read_map(at, n);
  EXPECT_TRUE(from_one(last));
  for (uint8_t v : last)
    EXPECT_NE(v, 0);
  uint16_t word = host.read_u16(target);
  EXPECT_TRUE(word == 0x1234 || word == 0xabcd || word == 0x12cd || word == 0xab34) << word;
  EXPECT_TRUE(daemon_ticking(host));
  EXPECT_EQ(map_changes(before, whole_map(host), {{at, at + n}, {target, target + 2}}),
            std::vector<uint32_t>{});
}
