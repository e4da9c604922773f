#include "monitor/dbgs.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/map.h"
#include "core/platform.h"
#include "monitor/cmd.h"
#include "monitor/rdline.h"

std::atomic<int32_t> dbgs_status{0};
// Connections holding the daemon's end: raised before the byte of the request lands, lowered
// once the connection has closed.
static std::atomic<int32_t> dbgs_held{0};

constexpr size_t DBGS_STACK = size_t{128} * 1024;  // a connection needs about 36 KiB of buffers
// Connections that may wait to be accepted. With room for only one, a burst of hosts that connect
// at once overflows the queue: their handshakes are dropped and retried for seconds, and a host
// whose last handshake step was lost believes it is connected but never gets its banner.
constexpr int DBGS_BACKLOG = SOMAXCONN;
// After a failed accept. The usual cause, no descriptor left (EMFILE, ENFILE), fails again at once
// while the host waits in the queue, so retrying without a pause would spin a core. A host that
// gave up while queued (ECONNABORTED) or a signal is no reason to wait.
constexpr long DBGS_ACCEPT_PAUSE_NS = 100L * 1000 * 1000;

// Answers wait here until the connection is about to receive again, carry out a write, or close,
// and leave in one send: a dump of four lines took four sends, a system call setting the socket
// option that pushed them, and the receive; now one send and one receive. Lines of commands that
// came in together go out together. It holds at least one 'R' line of the whole map.
constexpr size_t DBGS_OUTQ = 16384;
static_assert(DBGS_OUTQ >= DBGS_OUT);

// A connection's socket, its line reader and the answers not yet sent. The fields an idle
// connection touches come first, together, so that it keeps few stack pages resident.
struct dbgs_conn {
  int fd;
  size_t n;
  dbgs_rd rd;
  char out[DBGS_OUTQ];
};

// MSG_NOSIGNAL: a host that has gone away must not end the daemon through SIGPIPE. A failed send
// is ignored; the connection goes on until its receive side ends it.
static void dbgs_flush(dbgs_conn* c)
{
  size_t at = 0;
  while (at < c->n) {
    ssize_t r = send(c->fd, c->out + at, c->n - at, MSG_NOSIGNAL);
    if (r > 0)
      at += static_cast<size_t>(r);
    else if (r < 0 && errno != EINTR)
      break;
  }
  c->n = 0;
}

static void dbgs_put(void* ctx, const char* s, size_t n)
{
  auto* c = static_cast<dbgs_conn*>(ctx);
  if (c->n + n > sizeof c->out)
    dbgs_flush(c);
  memcpy(c->out + c->n, s, n);
  c->n += n;
}

// The connection's socket as the line reader's source. A block is asked for with one receive,
// which returns what has arrived, so a host's line costs one call instead of one per byte. The
// answers so far leave first: the host may be waiting for them before it sends more.
static ssize_t dbgs_get(void* ctx, char* p, size_t n)
{
  auto* c = static_cast<dbgs_conn*>(ctx);
  dbgs_flush(c);
  return recv(c->fd, p, n, 0);
}

// After a zero-byte receive: not resumed when a signal cuts it short.
static void dbgs_pause(void*)
{
  timespec pause{1, 0};
  nanosleep(&pause, nullptr);
}

// The count goes up before the request byte lands, and the write stores that byte with release;
// dbgs_holding reads the bytes again with acquire before the count, so a pass that has seen a
// request byte sees the count too.
static void dbgs_hold() { dbgs_held.fetch_add(1, std::memory_order_relaxed); }

bool dbgs_holding()
{
  mem_r8_acquire(MAP_EXIT_REQ);
  mem_r8_acquire(MAP_POWEROFF_REQ);
  return dbgs_held.load(std::memory_order_acquire) != 0;
}

static int64_t dbgs_ms()
{
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// Sends answers from out[*at] on as far as the socket takes them without waiting; false when the
// connection is broken (reset, or the host gone), so that nothing more can reach the host.
static bool dbgs_push(dbgs_conn* c, size_t* at)
{
  while (*at < c->n) {
    ssize_t r = send(c->fd, c->out + *at, c->n - *at, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0)
      *at += static_cast<size_t>(r);
    else if (r < 0 && errno == EAGAIN)
      return true;
    else if (r < 0 && errno != EINTR)
      return false;
  }
  return true;
}

// Ends a connection without losing what was answered. Closing a socket whose host has sent more
// than was read resets it, and the reset throws away every answer not yet on the wire: a host
// that sent 200 whole-map dumps, a quit and 300 more got 9 answers and a reset. So the answers go
// out first, then the end of the stream, and what the host still sends is read and dropped until
// it ends its side. All of it within DBGS_LINGER_MS: a host that never reads nor closes must not
// keep the thread, nor a daemon waiting to end. The sends do not block, and input is taken while
// they wait, so a host blocked on sending cannot block them in turn. By the bound, what the host
// sent has been read, so the close resets nothing, and what is still queued goes on after it.
static void dbgs_linger(dbgs_conn* c)
{
  int64_t end = dbgs_ms() + DBGS_LINGER_MS;
  size_t at = 0;
  bool shut = false, host_done = false;
  while (dbgs_push(c, &at)) {
    if (at == c->n && !shut) {
      shutdown(c->fd, SHUT_WR);
      shut = true;
    }
    int64_t left = end - dbgs_ms();
    if ((shut && host_done) || left <= 0)
      break;
    short ev = static_cast<short>((host_done ? 0 : POLLIN) | (shut ? 0 : POLLOUT));
    pollfd p{c->fd, ev, 0};
    int k = poll(&p, 1, static_cast<int>(left));
    if (k < 0 && errno != EINTR)
      break;
    if (k > 0 && (p.revents & (POLLERR | POLLNVAL)))
      break;
    if (k > 0 && !host_done && (p.revents & (POLLIN | POLLHUP))) {
      ssize_t r = recv(c->fd, c->rd.block, sizeof c->rd.block, MSG_DONTWAIT);
      if (r == 0)
        host_done = true;
      else if (r < 0 && errno != EAGAIN && errno != EINTR)
        break;
    }
  }
  c->n = 0;
  close(c->fd);
}

void* pthread_dbgs1(void* p0)
{
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(p0));
  pthread_setname_np(pthread_self(), "dbgs1");  // tells connections apart in ps and top
  // Nagle's algorithm off: with it on, an answer sent while the host had not yet acknowledged
  // the one before waited for that acknowledgement, which hosts delay by up to 40 ms.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  static const char banner[] = "#orvane-6 (" __DATE__ " " __TIME__ ")\n";
  send(fd, banner, sizeof banner - 1, MSG_NOSIGNAL);
  dbgs_conn c;  // not zeroed: the buffers are written before they are read
  c.fd = fd;
  c.n = 0;
  c.rd.src = dbgs_src{dbgs_get, dbgs_pause, &c};
  dbgs_sink out{dbgs_put, &c};
  char buf[DBGS_BUF];
  bool ends = false, asked = false;
  while (!asked && dbgs_getline(&c.rd, buf)) {
    // The line that ends the daemon holds the end before its byte lands, and the lines after it
    // are not carried out: the daemon is going, and their answers could not all arrive.
    ends = dbgs_ends(buf);
    if (ends)
      dbgs_hold();
    // Before any other write the answers so far go to the kernel: a host that sends dumps and a
    // write together sees the answers leave before the write lands. Dumps alone still leave in
    // one send per batch: a send after every command cut 8 hosts sending 16 "r d80 40" at a
    // time from about 250,000 to 50,000 commands/s.
    else if (c.n > 0 && dbgs_writes(buf))
      dbgs_flush(&c);
    asked = dbgs_exec(buf, out) || ends;
  }
  if (asked) {
    dbgs_linger(&c);
  } else {
    // The host has gone, or ended its side: nothing is left to deliver, since the answers
    // leave before every receive.
    shutdown(fd, SHUT_WR);
    close(fd);
  }
  if (ends)
    dbgs_held.fetch_sub(1, std::memory_order_release);
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

// The listener ends after a failed set-up. A runner on a PC is told why (a second simulator on
// a taken port would otherwise run on out of every host's reach); on the robot nobody is told.
static void* dbgs_not_listening(int err)
{
  if (plat.listen_failed)
    plat.listen_failed(err);
  return nullptr;
}

void* pthread_dbgs0(void*)
{
  pthread_setname_np(pthread_self(), "dbgs0");
  dbgs_status = 0;
  // Close-on-exec: the power-off shell must not inherit the port or a host's connection.
  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (ls < 0) {
    dbgs_status = -1;
    return dbgs_not_listening(errno);
  }
  int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(static_cast<uint16_t>(plat.monitor_port));
  if (bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
    int err = errno;
    printf("bind() failed(%d)\n", err);
    fflush(stdout);  // standard output may be a pipe: the message must not wait for exit
    dbgs_status = -2;
    close(ls);
    return dbgs_not_listening(err);
  }
  if (listen(ls, DBGS_BACKLOG) < 0) {
    int err = errno;
    dbgs_status = -3;
    close(ls);
    return dbgs_not_listening(err);
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
