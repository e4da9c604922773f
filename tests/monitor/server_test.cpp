// The monitor as a host sees it: orvane-sim on a free loopback port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <optional>
#include <string>
#include <thread>

#include "bench/sys_net.h"
#include "bench/sys_proc.h"
#include "core/platform.h"
#include "monitor/dbgs.h"
#include "support/emulation.h"
#include "support/monitor_client.h"
#include "support/sim_process.h"

// Address space of the process in KiB.
static long sim_vmsize(pid_t pid) { return proc_status_kib(pid, "VmSize"); }

// Connection threads alive in the process (they name themselves "dbgs1").
static int sim_connections(pid_t pid)
{
  int n = 0;
  for (const thread_cpu& t : proc_threads(pid))
    n += t.name == "dbgs1";
  return n;
}

// A raw connection that has read the banner byte by byte, up to and with its LF (kept in
// *banner if given); -1 if the connection fails.
static int banner_host(int port, std::string* banner = nullptr)
{
  int fd = net_loopback(port);
  char c = 0;
  pollfd p{fd, POLLIN, 0};
  while (fd >= 0 && c != '\n' && poll(&p, 1, 10000) == 1 && recv(fd, &c, 1, 0) == 1)
    if (banner)
      *banner += c;
  return fd;
}

TEST(MonitorServer, BannerNamesTheBuildDateAndTimeAndEndsInLfAlone)
{
  ORVANE_SKIP_IF_EMULATED();
  SimProcess sim;
  ASSERT_GT(sim.port(), 0);
  std::string banner;
  int fd = banner_host(sim.port(), &banner);
  ASSERT_GE(fd, 0);
  close(fd);
  // "#orvane-6 (Feb 23 2015 16:54:19)" and LF: '9' a digit, '_' a blank or a digit.
  const std::string form = "#orvane-6 (Mmm _9 9999 99:99:99)\n";
  bool fits = banner.size() == form.size();
  for (size_t i = 0; fits && i < form.size(); i++) {
    char b = banner[i];
    if (form[i] == '9' || form[i] == '_')
      fits = isdigit(static_cast<unsigned char>(b)) || (form[i] == '_' && b == ' ');
    else if (i < 11 || i > 13)
      fits = b == form[i];
  }
  const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  EXPECT_TRUE(fits && months.find(banner.substr(11, 3)) % 3 == 0) << banner;
}

// The lines of one dump are pushed out together once the command is done. Sent one by one with
// Nagle's algorithm on, each line after the first waited for the host's acknowledgement of the
// one before, which hosts delay by up to 40 ms.
TEST(MonitorServer, LinesOfOneDumpArriveTogether)
{
  ORVANE_SKIP_IF_EMULATED();
  SimProcess sim;
  ASSERT_GT(sim.port(), 0);
  int fd = banner_host(sim.port());
  ASSERT_GE(fd, 0);
  pollfd p{fd, POLLIN, 0};
  const size_t dump = size_t{4} * 73;  // "r d80 40": four lines of 16 bytes and their text
  for (int round = 0; round < 3; round++) {
    ASSERT_EQ(send(fd, "r d80 40\n", 9, MSG_NOSIGNAL), 9);
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    int ready = 0;
    ioctl(fd, FIONREAD, &ready);
    EXPECT_EQ(ready, static_cast<int>(dump)) << "round " << round;
    char buf[dump];
    ASSERT_EQ(recv(fd, buf, dump, MSG_WAITALL), static_cast<ssize_t>(dump));
  }
  close(fd);
}

TEST(MonitorServer, SeveralLinesInOneSendAreAnsweredInOrderAndQuitCloses)
{
  ORVANE_SKIP_IF_EMULATED();
  SimProcess sim;
  MonitorClient c;
  ASSERT_TRUE(c.connect(sim.port()));
  c.send("r 40 4\r\nR a0 8\nq\nr 20 1\n");
  EXPECT_EQ(c.line(), "#0040 1b 41 00 00  .A..");
  EXPECT_EQ(c.line(), "#00a0 01 06 01 02 03 04 05 06 ");
  EXPECT_TRUE(c.closed_by_peer(10s));
  EXPECT_EQ(c.line(0ms), std::nullopt);  // nothing after the quit was carried out
}

// Everything a connection sends until its end; `reset` tells an end by reset from an orderly one.
static std::string until_end(int fd, bool* reset)
{
  std::string got;
  char buf[65536];
  pollfd p{fd, POLLIN, 0};
  *reset = false;
  while (poll(&p, 1, 20000) == 1) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      *reset = n < 0;
      break;
    }
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// A quit or a request that ends the daemon, with more input behind it that is never read: a
// socket closed with unread input is reset, and the reset throws away the answers not yet on the
// wire. In one send, 200 whole-map dumps, the line and 300 more dumps gave 9 answers and a reset.
// Every answer before the line arrives, nothing after it, and the stream ends in order.
TEST(MonitorServer, AnswersBeforeAQuitOrAnEndRequestArriveWhateverFollowsUnread)
{
  ORVANE_SKIP_IF_EMULATED();
  const struct {
    const char* line;
    std::vector<std::string> args;
    std::optional<int> status;  // none: the daemon runs on
  } rows[] = {{"q", {}, std::nullopt},
              {"W 50 1", {}, 0},
              {"W 51 1", {"--poweroff-cmd", "exit 3"}, 3}};
  constexpr size_t dump = 3 * size_t{4096} + 8;  // "R 0 1000": the whole map in one line
  for (const auto& r : rows) {
    SimProcess sim(r.args);
    int fd = banner_host(sim.port());
    ASSERT_GE(fd, 0) << r.line;
    std::string batch;
    for (int i = 0; i < 500; i++)
      batch += i == 200 ? std::string(r.line) + "\n" : "R 0 1000\n";
    ssize_t sent = send(fd, batch.data(), batch.size(), MSG_NOSIGNAL);
    ASSERT_EQ(sent, static_cast<ssize_t>(batch.size()));
    bool reset = false;
    std::string got = until_end(fd, &reset);
    close(fd);
    EXPECT_FALSE(reset) << r.line << ": reset after " << got.size() / dump << " answers";
    EXPECT_EQ(got.size(), 200 * dump) << r.line;
    EXPECT_EQ(sim.wait_exit(r.status ? 20s : 0ms), r.status) << r.line;
  }
}

TEST(MonitorServer, ConnectionsShareTheRememberedAddressAndTheMap)
{
  ORVANE_SKIP_IF_EMULATED();
  SimProcess sim;
  MonitorClient a, b;
  ASSERT_TRUE(a.connect(sim.port()));
  ASSERT_TRUE(b.connect(sim.port()));
  a.send("r 40 4\n");
  EXPECT_EQ(a.line(), "#0040 1b 41 00 00  .A..");
  b.send("\n");
  EXPECT_EQ(b.line(), "#0040 1b 41 00 00  .A..");
  b.send("W 300 aa bb\n\n");  // a write sets the address too
  EXPECT_EQ(b.line(), "#0300 aa bb 00 00  \xaa\xbb..");
  a.send("\n");
  EXPECT_EQ(a.line(), "#0300 aa bb 00 00  \xaa\xbb..");
}

// The one test that waits for the daemon to drop hosts that have gone: about ten seconds.
TEST(MonitorServer, HostsThatGoAwayAreDroppedWhileOthersAreStillServed)
{
  ORVANE_SKIP_IF_EMULATED();
  SimProcess sim;
  int port = sim.port();
  ASSERT_GT(port, 0);

  // One host closes its side without a word.
  MonitorClient silent;
  ASSERT_TRUE(silent.connect(port));
  auto t0 = std::chrono::steady_clock::now();
  shutdown(silent.fd, SHUT_WR);

  // Another asks for far more than the socket buffers hold and resets the connection while the
  // daemon is still sending: the sends that fail must not end the daemon.
  MonitorClient gone;
  ASSERT_TRUE(gone.connect(port));
  std::string many;
  for (int i = 0; i < 1000; i++)
    many += "r 0 1000\n";
  gone.send(many);
  ASSERT_TRUE(gone.line().has_value());
  linger hard{1, 0};
  setsockopt(gone.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  gone.close();

  MonitorClient next;
  ASSERT_TRUE(next.connect(port));
  EXPECT_EQ(next.read_u32(0x40), 16667u);

  EXPECT_TRUE(silent.closed_by_peer(40s));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 9s);  // ten one-second pauses first
  EXPECT_EQ(silent.line(0ms), std::nullopt);             // nothing but the banner was sent
  // Both threads end; only the third host's remains.
  EXPECT_TRUE(wait_until([&] { return sim_connections(sim.pid()) == 1; }, 20s));
  EXPECT_EQ(next.read_u32(0x40), 16667u);
  EXPECT_EQ(sim.wait_exit(0ms), std::nullopt);
}

// The daemon's own listener on a taken port, run in-process as on the robot (no runner hooks):
// it prints its line and ends only itself. orvane-sim then ends the runner (tests/sim/).
TEST(MonitorServer, BindFailureIsReportedAndTheDaemonRunsOn)
{
  int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t alen = sizeof a;
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&a), &alen), 0);

  plat_cfg robot = plat;
  plat.monitor_port = ntohs(a.sin_port);
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  fflush(stdout);
  int saved = dup(STDOUT_FILENO);
  dup2(out[1], STDOUT_FILENO);
  static std::atomic<bool> ended;  // outlives a listener that wrongly listens on
  std::thread([] {
    pthread_dbgs0(nullptr);
    ended = true;
  }).detach();
  bool listener_ended = wait_until([] { return ended.load(); }, 20s);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(out[1]);
  char buf[64];
  ssize_t n = read(out[0], buf, sizeof buf);
  close(out[0]);
  close(taken);
  plat = robot;
  EXPECT_TRUE(listener_ended);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0),
            "bind() failed(" + std::to_string(EADDRINUSE) + ")\n");
  EXPECT_EQ(dbgs_status.load(), -2);
}

TEST(MonitorServer, EndedConnectionsGiveTheirThreadsAndStacksBack)
{
  ORVANE_SKIP_IF_EMULATED();
  if (emulated())
    GTEST_SKIP() << "measures the runner's address space, which under emulation is the emulator's";
  // One malloc arena, so that an arena made for some other thread cannot pass for stacks.
  setenv("MALLOC_ARENA_MAX", "1", 1);
  SimProcess sim;
  unsetenv("MALLOC_ARENA_MAX");
  int port = sim.port();
  ASSERT_GT(port, 0);
  long peak;
  {
    MonitorClient open[20];
    for (auto& c : open)
      ASSERT_TRUE(c.connect(port));
    for (auto& c : open) {
      c.send("r 10 2\n");
      EXPECT_EQ(c.line(), "#0010 01 00  ..");
    }
    EXPECT_EQ(sim_connections(sim.pid()), 20);
    peak = sim_vmsize(sim.pid());
    for (auto& c : open)
      c.send("q\n");
  }
  for (int i = 0; i < 300; i++) {
    MonitorClient c;
    ASSERT_TRUE(c.connect(port));
    c.send("q\n");
    ASSERT_TRUE(c.closed_by_peer(10s));
  }
  EXPECT_TRUE(wait_until([&] { return sim_connections(sim.pid()) == 0; }, 20s));
  // An ended thread that nobody joins keeps its stack: 300 of them would hold over 37 MiB.
  EXPECT_LT(sim_vmsize(sim.pid()) - peak, 150 * 128);
}

TEST(MonitorServer, HostMovesChannelsAndEndsTheDaemonThroughTheMap)
{
  ORVANE_SKIP_IF_EMULATED();
  SimProcess sim;
  MonitorClient c;
  ASSERT_TRUE(c.connect(sim.port()));
  ASSERT_TRUE(c.send("W a02 64 00 c8 00 9c ff\n"));  // channels 1-3: 100, 200, -100
  ASSERT_TRUE(c.write_u8(0xb80, 3));                  // a move of three ticks
  EXPECT_TRUE(wait_until(
      [&] { return c.read_map(0xc02, 6) == std::vector<uint8_t>{0x64, 0, 0xc8, 0, 0x9c, 0xff}; },
      20s, 20ms));
  EXPECT_EQ(c.read_u8(0xb80), 0);  // the trigger was taken
  ASSERT_TRUE(c.write_u8(0x50, 1));
  EXPECT_EQ(sim.wait_exit(20s), 0);
}
