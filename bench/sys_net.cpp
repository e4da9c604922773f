#include "bench/sys_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bench/sys_proc.h"

static sockaddr_in net_addr(int port)
{
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int net_free_port()
{
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = net_addr(0);
  socklen_t len = sizeof a;
  int port = -1;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(s);
  return port;
}

int net_loopback(int port, bool nonblocking, int rcvbuf)
{
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
  if (fd < 0)
    return -1;
  if (rcvbuf > 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in a = net_addr(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

void net_reset(int fd)
{
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
}

int net_connect(int port)
{
  int s = net_loopback(port);
  if (s < 0)
    return -1;
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{5, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return s;
}

bool net_lines(int fd, int lines)
{
  char buf[4096];
  while (lines > 0) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0)
      return false;
    for (ssize_t i = 0; i < n; i++)
      lines -= buf[i] == '\n';
  }
  return lines == 0;
}

static bool net_send(int fd, const std::string& s)
{
  return send(fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
}

std::vector<double> net_rtt(int port, const std::string& cmd, int lines, int count, int warmup)
{
  std::vector<double> us;
  int fd = net_connect(port);
  if (fd < 0 || !net_lines(fd, 1)) {
    if (fd >= 0)
      close(fd);
    return us;
  }
  us.reserve(count);
  for (int i = 0; i < warmup + count; i++) {
    int64_t t0 = mono_ns();
    if (!net_send(fd, cmd) || !net_lines(fd, lines)) {
      us.clear();
      break;
    }
    if (i >= warmup)
      us.push_back(static_cast<double>(mono_ns() - t0) / 1000.0);
  }
  std::vector<int> one{fd};
  net_quit(one);
  return us;
}

// One epoll loop drives every connection, as a single-threaded load generator does.
double net_rate(int port, const std::string& cmd, int lines, int conns, int ms)
{
  struct conn {
    int fd;
    int left;  // LFs still to come for the outstanding request
  };
  std::vector<conn> cs;
  int ep = epoll_create1(0);
  for (int i = 0; i < conns; i++) {
    int fd = net_connect(port);
    if (fd < 0 || !net_lines(fd, 1)) {
      if (fd >= 0)
        close(fd);
      break;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    cs.push_back({fd, 0});
  }
  for (size_t i = 0; i < cs.size(); i++) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    epoll_ctl(ep, EPOLL_CTL_ADD, cs[i].fd, &ev);
  }
  long done = 0;
  int64_t t0 = mono_ns(), end = t0 + int64_t{ms} * 1000000;
  for (conn& c : cs) {
    net_send(c.fd, cmd);
    c.left = lines;
  }
  int64_t now = t0;
  char buf[8192];
  while (!cs.empty() && now < end) {
    epoll_event evs[64];
    int n = epoll_wait(ep, evs, 64, 1000);
    if (n <= 0)
      break;
    for (int k = 0; k < n; k++) {
      conn& c = cs[evs[k].data.u64];
      ssize_t got;
      while ((got = recv(c.fd, buf, sizeof buf, 0)) > 0)
        for (ssize_t i = 0; i < got; i++)
          c.left -= buf[i] == '\n';
      if (c.left == 0) {
        done++;
        c.left = lines;
        net_send(c.fd, cmd);
      }
    }
    now = mono_ns();
  }
  double rate = static_cast<double>(done) * 1e9 / static_cast<double>(now - t0);
  // Drain the answers still in flight, so that the quit lines are read as lines of their own.
  std::vector<int> fds;
  for (conn& c : cs) {
    fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) & ~O_NONBLOCK);
    if (c.left > 0)
      net_lines(c.fd, c.left);
    fds.push_back(c.fd);
  }
  net_quit(fds);
  close(ep);
  return rate;
}

std::vector<int> net_open_idle(int port, int n)
{
  std::vector<int> fds;
  for (int i = 0; i < n; i++) {
    int fd = net_connect(port);
    if (fd < 0)
      break;
    fds.push_back(fd);
    if (!net_lines(fd, 1))
      break;
  }
  return fds;
}

void net_quit(std::vector<int>& fds)
{
  for (int fd : fds) {
    net_send(fd, "q\n");
    close(fd);
  }
  fds.clear();
}
