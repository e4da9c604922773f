#include "monitor/dbgs.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "core/platform.h"
#include "monitor/cmd.h"
#include "monitor/rdline.h"

std::atomic<int32_t> dbgs_status{0};

constexpr size_t DBGS_STACK = size_t{128} * 1024;  // a connection needs about 15 KiB of buffers
// Connections that may wait to be accepted. With room for only one, a burst of hosts that connect
// at once overflows the queue: their handshakes are dropped and retried for seconds, and a host
// whose last handshake step was lost believes it is connected but never gets its banner.
constexpr int DBGS_BACKLOG = SOMAXCONN;
// After a failed accept. The usual cause, no descriptor left (EMFILE, ENFILE), fails again at once
// while the host waits in the queue, so retrying without a pause would spin a core. A host that
// gave up while queued (ECONNABORTED) or a signal is no reason to wait.
constexpr long DBGS_ACCEPT_PAUSE_NS = 100L * 1000 * 1000;

// A connection's socket, and whether lines of the current command wait to be pushed.
struct dbgs_conn {
  int fd;
  bool held;
};

// MSG_NOSIGNAL: a host that has gone away must not end the daemon through SIGPIPE. A failed send
// is ignored; the connection goes on until its receive side ends it. MSG_MORE holds each line
// until the command is done, so that a dump leaves as one segment (dbgs_push).
static void dbgs_put(void* ctx, const char* s, size_t n)
{
  auto* c = static_cast<dbgs_conn*>(ctx);
  send(c->fd, s, n, MSG_NOSIGNAL | MSG_MORE);
  c->held = true;
}

// Turning Nagle's algorithm off sends at once what the socket holds. With it on, each dump line
// after the first waited for the host to acknowledge the one before, which hosts delay by up to
// 40 ms: a four-line dump took over 40 ms to come back.
static void dbgs_push(dbgs_conn* c)
{
  int one = 1;
  setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  c->held = false;
}

// The connection's socket as the line reader's source. A block is asked for with one receive,
// which returns what has arrived, so a host's line costs one call instead of one per byte.
static ssize_t dbgs_get(void* ctx, char* p, size_t n)
{
  return recv(*static_cast<int*>(ctx), p, n, 0);
}

// After a zero-byte receive: not resumed when a signal cuts it short.
static void dbgs_pause(void*)
{
  timespec pause{1, 0};
  nanosleep(&pause, nullptr);
}

void* pthread_dbgs1(void* p0)
{
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(p0));
  pthread_setname_np(pthread_self(), "dbgs1");  // tells connections apart in ps and top
  dbgs_conn c{fd, false};
  char buf[DBGS_BUF];
  int n = snprintf(buf, sizeof buf, "#orvane-6 (%s %s)\n", __DATE__, __TIME__);
  dbgs_put(&c, buf, static_cast<size_t>(n));
  dbgs_push(&c);
  dbgs_sink out{dbgs_put, &c};
  dbgs_rd rd;  // left uninitialised: an idle connection touches none of its block
  rd.src = dbgs_src{dbgs_get, dbgs_pause, &fd};
  while (dbgs_getline(&rd, buf) && !dbgs_exec(buf, out)) {
    if (c.held)
      dbgs_push(&c);
  }
  // Closing with unread input resets the connection and drops answers not yet on the wire; a
  // shutdown first pushes them out, followed by the end of the stream.
  shutdown(fd, SHUT_WR);
  close(fd);
  return nullptr;
}

// Connection threads are detached, so an ended connection gives its stack back at once, and get
// a small stack so that many connections fit a 32-bit address space.
static void dbgs_start(const pthread_attr_t* at, int fd)
{
  pthread_t t;
  // The descriptor travels as the thread's argument, which is a pointer.
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  void* arg = reinterpret_cast<void*>(static_cast<intptr_t>(fd));
  if (pthread_create(&t, at, pthread_dbgs1, arg) != 0)
    close(fd);
}

void* pthread_dbgs0(void*)
{
  pthread_setname_np(pthread_self(), "dbgs0");
  dbgs_status = 0;
  // Close-on-exec: the power-off shell must not inherit the port or a host's connection.
  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (ls < 0) {
    dbgs_status = -1;
    return nullptr;
  }
  int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(static_cast<uint16_t>(plat.monitor_port));
  if (bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
    printf("bind() failed(%d)\n", errno);
    fflush(stdout);  // standard output may be a pipe: the message must not wait for exit
    dbgs_status = -2;
    close(ls);
    return nullptr;
  }
  if (listen(ls, DBGS_BACKLOG) < 0) {
    dbgs_status = -3;
    close(ls);
    return nullptr;
  }
  dbgs_status = 1;
  socklen_t alen = sizeof a;
  if (plat.listening && getsockname(ls, reinterpret_cast<sockaddr*>(&a), &alen) == 0)
    plat.listening(ntohs(a.sin_port));

  pthread_attr_t at;
  pthread_attr_init(&at);
  pthread_attr_setdetachstate(&at, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&at, DBGS_STACK);
  for (;;) {
    int fd = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      dbgs_start(&at, fd);
      continue;
    }
    dbgs_status = -4;
    if (errno != ECONNABORTED && errno != EINTR) {
      timespec pause{0, DBGS_ACCEPT_PAUSE_NS};
      nanosleep(&pause, nullptr);
    }
  }
}
