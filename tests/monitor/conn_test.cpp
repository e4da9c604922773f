// A connection thread driven in-process over a socket pair: the line reader and its limits.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "core/image.h"
#include "core/map.h"
#include "monitor/cmd.h"
#include "monitor/dbgs.h"
#include "support/monitor_client.h"
#include "support/sim_process.h"

// The connection thread's argument carries its descriptor, as the listener passes it.
static void* as_arg(int fd)
{
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  return reinterpret_cast<void*>(static_cast<intptr_t>(fd));
}

class Connection : public ::testing::Test {
 protected:
  void SetUp() override
  {
    mem_init();
    adr = 0x0180;
    len = 0x0080;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    if (conn_sndbuf > 0) {
      ASSERT_EQ(setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &conn_sndbuf, sizeof conn_sndbuf), 0);
    }
    host.fd = sv[0];
    conn = std::thread([this, fd = sv[1]] {
      pthread_dbgs1(as_arg(fd));
      ended = true;
    });
    ASSERT_TRUE(host.line().has_value());  // the banner
  }
  void TearDown() override
  {
    host.send("q\n");
    host.close();  // a connection that has quit waits for the host's end
    conn.join();
  }
  // Everything the daemon sends after `text`, up to the end of the stream that a final quit causes.
  std::vector<std::string> talk(const std::string& text)
  {
    host.send(text + "q\n");
    std::vector<std::string> lines;
    while (auto l = host.line())
      lines.push_back(*l);
    host.close();
    EXPECT_TRUE(wait_until([&] { return ended.load(); }, 10s));
    return lines;
  }

  MonitorClient host;
  std::thread conn;
  std::atomic<bool> ended{false};
  int conn_sndbuf = 0;  // nonzero: the daemon's side of the socket holds only this much
};

// The daemon's side of the socket holds a few KiB, so an answer larger than that stays with the
// connection until the host reads it.
struct HeldConnection : Connection {
  HeldConnection() { conn_sndbuf = 4096; }
};

TEST_F(Connection, LongLineIsCutAfter2047CharactersAndItsRestIsTheNextLine)
{
  std::string cut = "r 40 4" + std::string(2047 - 6, ' ');
  // Exactly 2047 characters and LF: the cut line, then an empty line that repeats the dump.
  // Longer: what follows the 2047th character is a line of its own.
  EXPECT_EQ(talk(cut + "\n" + cut + "20 1\n"),
            (std::vector<std::string>{"#0040 1b 41 00 00  .A..", "#0040 1b 41 00 00  .A..",
                                      "#0040 1b 41 00 00  .A..", "#0020 5a  Z"}));
}

TEST_F(Connection, ZeroByteEndsTheParseButTheLineRunsToItsLf)
{
  static const char line[] = "r 40 4\0 r 20 1\nr 20 1\n";
  EXPECT_EQ(talk(std::string(line, sizeof line - 1)),
            (std::vector<std::string>{"#0040 1b 41 00 00  .A..", "#0020 5a  Z"}));
}

// An answer waits in the connection for more, but not past a write: by the time a write lands,
// every answer of the lines before it is with the kernel, none left in the thread.
TEST_F(HeldConnection, AnswersQueuedBeforeAWriteAreHandedOverBeforeTheWriteLands)
{
  constexpr size_t dump = 3 * size_t{MAP_SIZE} + 8;  // "R 0 1000": the whole map in one line
  ASSERT_TRUE(host.send("R 0 1000\nW 300 1\n"));
  // The host reads a little at a time and looks at the map between reads.
  size_t got = 0;
  bool landed = wait_until([&] {
    if (mem_r8(0x300) != 0)
      return true;
    char b[256];
    ssize_t n = recv(host.fd, b, sizeof b, MSG_DONTWAIT);
    got += n > 0 ? static_cast<size_t>(n) : 0;
    return false;
  }, 10s, 2ms);
  ASSERT_TRUE(landed);
  int queued = 0;
  ASSERT_EQ(ioctl(host.fd, FIONREAD, &queued), 0);
  EXPECT_EQ(got + static_cast<size_t>(queued), dump);
  talk("");  // takes the rest, so that a thread still sending can end
}

// The request that ends the daemon lands at once, without waiting for the host to read what came
// before, and the end is held meanwhile; a host that never reads nor closes holds it only for the
// connection's bound. Handing the answers over before the write, the thread waited for the host
// for ever, and the request never landed.
TEST_F(HeldConnection, AnEndRequestLandsAndAHostThatNeverReadsHoldsTheEndOnlyForTheBound)
{
  ASSERT_TRUE(host.send("R 0 1000\nW 50 1\n"));
  EXPECT_TRUE(wait_until([&] { return mem_r8(MAP_EXIT_REQ) != 0; }, 10s))
      << "the request never landed";
  bool held = dbgs_holding();
  bool let_go = wait_until([&] { return ended.load() && !dbgs_holding(); }, 20s);
  if (!let_go)
    talk("");  // the thread waits on the host: the rest of the test has nothing to look at
  EXPECT_TRUE(held);
  EXPECT_TRUE(let_go);
}

TEST(ConnectionFailure, ReceiveErrorClosesTheConnectionInsteadOfSpinning)
{
  // A pipe is no socket: every receive on it fails, and never with zero bytes.
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  std::atomic<bool> ended{false};
  std::thread t([&] {
    pthread_dbgs1(as_arg(p[0]));
    ended = true;
  });
  bool done = wait_until([&] { return ended.load(); }, 10s);
  EXPECT_TRUE(done);
  if (!done) {
    t.detach();
    return;
  }
  t.join();
  pollfd w{p[1], POLLOUT, 0};
  ASSERT_EQ(poll(&w, 1, 0), 1);
  EXPECT_TRUE(w.revents & POLLERR);  // the thread closed its end
  close(p[1]);
}
