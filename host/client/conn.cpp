#include "conn.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "orvane.h"

namespace orvane {

namespace {

int ms_left(deadline end)
{
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      end - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left.count(), 1 << 30));
}

// Waits for `events` on fd; false at the deadline. Signals do not end the wait early.
bool wait_for(int fd, short events, deadline end)
{
  for (;;) {
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, ms_left(end));
    if (r > 0)
      return true;
    if (r == 0)
      return false;
    if (errno != EINTR)
      return true;  // the following call reports the error
  }
}

std::string lower_first(std::string s)
{
  if (!s.empty() && s[0] >= 'A' && s[0] <= 'Z')
    s[0] = static_cast<char>(s[0] - 'A' + 'a');
  return s;
}

std::string sys_error(int err) { return lower_first(strerror(err)); }

}  // namespace

void conn::open(const std::string& host, int port, const std::string& robot, deadline end)
{
  close();
  this->robot = robot;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  std::string service = std::to_string(port);
  // "localhost" without the name service: a static program on the robot (armel on an armhf
  // system) cannot load the system's name-service modules. The daemon listens on IPv4.
  const char* name = host == "localhost" ? "127.0.0.1" : host.c_str();
  int rc = getaddrinfo(name, service.c_str(), &hints, &list);
  if (rc != 0)
    throw connect_error("cannot reach robot at " + robot + ": " + lower_first(gai_strerror(rc)));
  int last_err = ECONNREFUSED;
  bool timed_out = false;
  for (addrinfo* a = list; a && fd < 0; a = a->ai_next) {
    int s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (s < 0) {
      last_err = errno;
      continue;
    }
    int err = 0;
    if (::connect(s, a->ai_addr, a->ai_addrlen) != 0) {
      err = errno;
      if (err == EINPROGRESS) {
        if (!wait_for(s, POLLOUT, end)) {
          timed_out = true;
          ::close(s);
          break;
        }
        socklen_t len = sizeof err;
        getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
      }
    }
    if (err != 0) {
      last_err = err;
      ::close(s);
      continue;
    }
    int one = 1;  // commands are short lines; each should leave at once
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fd = s;
  }
  freeaddrinfo(list);
  if (fd >= 0)
    return;
  if (timed_out)
    throw timeout_error("cannot reach robot at " + robot + ": timed out");
  throw connect_error("cannot reach robot at " + robot + ": " + sys_error(last_err));
}

void conn::send(const std::string& text, deadline end)
{
  if (fd < 0)
    throw closed_error("not connected to " + robot);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (!wait_for(fd, POLLOUT, end))
        throw timeout_error("the robot at " + robot + " takes no more commands: timed out");
    } else {
      int err = errno;
      close();
      throw closed_error("connection closed by the robot at " + robot + " (" + sys_error(err) + ")");
    }
  }
}

std::string conn::line(deadline end)
{
  for (;;) {
    size_t lf = pending.find('\n');
    if (lf != std::string::npos) {
      std::string l = pending.substr(0, lf);
      pending.erase(0, lf + 1);
      if (!l.empty() && l.back() == '\r')
        l.pop_back();
      return l;
    }
    if (fd < 0)
      throw closed_error("not connected to " + robot);
    if (!wait_for(fd, POLLIN, end))
      throw timeout_error("no answer from the robot at " + robot + ": timed out");
    char buf[16384];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      pending.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      close();
      throw closed_error("connection closed by the robot at " + robot);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      int err = errno;
      close();
      throw closed_error("connection closed by the robot at " + robot + " (" + sys_error(err) + ")");
    }
  }
}

bool conn::wait_closed(deadline end)
{
  while (fd >= 0) {
    if (!wait_for(fd, POLLIN, end))
      return false;
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
      close();
  }
  return true;
}

void conn::close()
{
  if (fd >= 0)
    ::close(fd);
  fd = -1;
  pending.clear();
}

}  // namespace orvane
