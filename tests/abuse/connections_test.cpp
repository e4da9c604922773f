// Abuse of the monitor's connection handling through real loopback sockets: many hosts at once,
// hosts that leave in the middle of an answer, a listener that runs out of descriptors. Every
// test checks that the daemon keeps ticking and that no map byte it does not own has changed.
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/map.h"
#include "support/daemon_watch.h"
#include "support/emulation.h"
#include "support/sim_line.h"
#include "support/sim_process.h"

namespace {

constexpr int HOSTS = 1000;

// CPU time that one thread of a process has used, in clock ticks; -1 if the thread has no such
// name.
long thread_ticks(pid_t pid, const std::string& name)
{
  for (const thread_cpu& t : proc_threads(pid))
    if (t.name == name)
      return t.ns / (1000000000 / sysconf(_SC_CLK_TCK));
  return -1;
}

}  // namespace

TEST(AbuseConnections, ThousandHostsAtOnceAllGetTheBannerAndTheirThreadsEnd)
{
  ORVANE_SKIP_IF_EMULATED();
  proc_fd_limit(HOSTS + 256);  // for this process and the runner it starts
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  if (r.rlim_cur < HOSTS + 256)
    GTEST_SKIP() << "the hard limit on open files, " << r.rlim_max << ", is below " << HOSTS + 256;
  SimLine t;
  auto before = whole_map(t.host);
  int threads = proc_nthreads(t.sim.pid());
  uint32_t idle = daemon_passes(t.host, 2s);

  std::vector<int> fds;
  std::vector<std::string> got(HOSTS);
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < HOSTS; i++) {
    fds.push_back(net_loopback(t.port, true));
    ASSERT_GE(fds.back(), 0) << "connection " << i;
  }
  // Every host gets its whole banner line, however the connects were queued.
  int banners = 0;
  auto end = std::chrono::steady_clock::now() + 60s;
  std::vector<pollfd> ps;
  while (banners < HOSTS && std::chrono::steady_clock::now() < end) {
    ps.clear();
    for (int i = 0; i < HOSTS; i++)
      if (got[i].find('\n') == std::string::npos)
        ps.push_back({fds[i], POLLIN, 0});
    if (poll(ps.data(), ps.size(), 200) <= 0)
      continue;
    for (const pollfd& p : ps) {
      if (!(p.revents & POLLIN))
        continue;
      int i = static_cast<int>(std::find(fds.begin(), fds.end(), p.fd) - fds.begin());
      char buf[128];
      ssize_t n = recv(p.fd, buf, sizeof buf, 0);
      if (n > 0) {
        got[i].append(buf, static_cast<size_t>(n));
        banners += got[i].find('\n') != std::string::npos;
      }
    }
  }
  EXPECT_EQ(banners, HOSTS);
  printf("%d of %d hosts greeted in %.1f s\n", banners, HOSTS,
         std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  for (const std::string& b : got)
    EXPECT_TRUE(b.empty() || b.substr(0, 10) == "#orvane-6 ") << b;
  EXPECT_EQ(proc_nthreads(t.sim.pid()), threads + banners);

  // A thousand idle connections cost the control loop nothing.
  uint32_t held = daemon_passes(t.host, 2s);
  EXPECT_GE(held, idle / 2) << "passes in 2 s: " << idle << " idle, " << held << " with " << HOSTS
                            << " hosts";

  // Half quit, half just go: those are closed after the daemon's ten one-second pauses.
  for (int i = 0; i < HOSTS; i++) {
    if (i % 2 == 0)
      (void)!send(fds[i], "q\n", 2, MSG_NOSIGNAL);
    close(fds[i]);
  }
  EXPECT_TRUE(wait_until([&] { return proc_nthreads(t.sim.pid()) == threads; }, 40s, 100ms))
      << proc_nthreads(t.sim.pid()) << " threads, " << threads << " before";
  EXPECT_TRUE(daemon_ticking(t.host));
  EXPECT_EQ(map_changes(before, whole_map(t.host)), std::vector<uint32_t>{});
}

TEST(AbuseConnections, HostsThatLeaveInTheMiddleOfAWholeMapDumpCostNothing)
{
  ORVANE_SKIP_IF_EMULATED();
  SimLine t;
  auto before = whole_map(t.host);
  int threads = proc_nthreads(t.sim.pid());

  // A small receive buffer: the daemon is still sending the 12 KiB lines when the host goes,
  // half of the time with a reset, half with an orderly close.
  for (int i = 0; i < 200; i++) {
    int fd = net_loopback(t.port, false, 2048);
    ASSERT_GE(fd, 0);
    std::string ask;
    for (int k = 0; k < 4; k++)
      ask += "R 0 1000\n";
    ASSERT_EQ(send(fd, ask.data(), ask.size(), MSG_NOSIGNAL), static_cast<ssize_t>(ask.size()));
    char buf[1500];
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    ASSERT_GT(recv(fd, buf, sizeof buf, 0), 0);
    if (i % 2)
      net_reset(fd);
    else
      close(fd);
  }
  EXPECT_TRUE(daemon_ticking(t.host));
  EXPECT_EQ(t.host.read_u32(MAP_TICK_PERIOD), 16667u);  // others are served all the while
  EXPECT_TRUE(wait_until([&] { return proc_nthreads(t.sim.pid()) == threads; }, 40s, 100ms))
      << proc_nthreads(t.sim.pid()) << " threads, " << threads << " before";
  EXPECT_EQ(map_changes(before, whole_map(t.host)), std::vector<uint32_t>{});
}

// With no descriptor left, every accept fails at once while the host waits in the queue; the
// listener must not spin a core on it, and takes the host as soon as a descriptor is free.
TEST(AbuseConnections, ListenerOutOfDescriptorsPausesAndRecovers)
{
  ORVANE_SKIP_IF_EMULATED();
  SimLine t;
  MonitorClient spare;
  ASSERT_TRUE(spare.connect(t.port));
  auto before = whole_map(t.host);

  // The limit just above the highest descriptor; hosts fill whatever gaps lie below it.
  rlimit old{}, low{};
  ASSERT_EQ(prlimit(t.sim.pid(), RLIMIT_NOFILE, nullptr, &old), 0);
  low = old;
  low.rlim_cur = static_cast<rlim_t>(proc_max_fd(t.sim.pid())) + 1;
  ASSERT_EQ(prlimit(t.sim.pid(), RLIMIT_NOFILE, &low, nullptr), 0);
  std::vector<MonitorClient> fillers(low.rlim_cur - static_cast<rlim_t>(proc_nfds(t.sim.pid())));
  for (auto& f : fillers)
    ASSERT_TRUE(f.connect(t.port));
  MonitorClient waiting;
  int fd = net_loopback(t.port);
  ASSERT_GE(fd, 0);
  waiting.fd = fd;

  long cpu0 = thread_ticks(t.sim.pid(), "dbgs0");
  ASSERT_GE(cpu0, 0) << "no listener thread named dbgs0";
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(daemon_ticking(t.host));
  std::this_thread::sleep_for(2s);
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  double cpu = static_cast<double>(thread_ticks(t.sim.pid(), "dbgs0") - cpu0) /
               static_cast<double>(sysconf(_SC_CLK_TCK));
  EXPECT_LT(cpu, wall / 4) << "the listener used " << cpu << " s of CPU in " << wall << " s";
  EXPECT_EQ(waiting.line(0ms), std::nullopt);  // no banner without a descriptor

  // A descriptor comes free: the waiting host is taken and greeted.
  spare.send("q\n");
  EXPECT_TRUE(spare.closed_by_peer(10s));
  auto banner = waiting.line(10s);
  ASSERT_TRUE(banner.has_value());
  EXPECT_EQ(banner->substr(0, 10), "#orvane-6 ");
  ASSERT_EQ(prlimit(t.sim.pid(), RLIMIT_NOFILE, &old, nullptr), 0);
  EXPECT_TRUE(waiting.send("r 40 4\n"));
  EXPECT_EQ(waiting.line(), "#0040 1b 41 00 00  .A..");
  EXPECT_EQ(map_changes(before, whole_map(t.host)), std::vector<uint32_t>{});
}
