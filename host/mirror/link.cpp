#include "host/mirror/link.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "conn.h"
#include "orvane.h"

namespace orvane::mirror {

namespace {

constexpr char hexdig[] = "0123456789abcdef";

int unhex(char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;  // the daemon answers in lowercase only
}

char* put4(char* p, uint32_t v)
{
  for (int s = 12; s >= 0; s -= 4)
    *p++ = hexdig[(v >> s) & 0xf];
  return p;
}

}  // namespace

bool tick_link::open(const std::string& robot, std::chrono::milliseconds timeout)
{
  close();
  snprintf(robot_, sizeof robot_, "%s", robot.c_str());
  // "host:port" or "[v6addr]:port", as the client library names a robot it has reached.
  size_t colon = robot.rfind(':');
  std::string host = colon == std::string::npos ? robot : robot.substr(0, colon);
  int port = default_port;
  if (colon != std::string::npos) {
    // A port that is not a number stays 0, which no robot listens on: the connection fails.
    const char* end = robot.data() + robot.size();
    auto [at, ec] = std::from_chars(robot.data() + colon + 1, end, port);
    if (ec != std::errc() || at != end)
      port = 0;
  }
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  conn c;
  try {
    auto end = std::chrono::steady_clock::now() + timeout;
    c.open(host, port, robot, end);
    std::string banner = c.line(end);
    if (banner.rfind("#orvane-", 0) != 0)
      throw protocol_error(robot + " is not an orvane monitor");
  } catch (const error& e) {
    snprintf(reason_, sizeof reason_, "%s", e.what());
    return false;
  }
  fd_ = c.fd;
  c.fd = -1;  // the link owns the socket now
  out_len_ = in_len_ = 0;
  head_ = count_ = 0;
  answers_ = 0;
  reason_[0] = 0;
  return true;
}

void tick_link::close()
{
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = -1;
  out_len_ = in_len_ = 0;
  head_ = count_ = 0;
}

bool tick_link::fail(const char* what, int err)
{
  if (err)
    snprintf(reason_, sizeof reason_, "%s the robot at %s (%s)", what, robot_, strerror(err));
  else
    snprintf(reason_, sizeof reason_, "%s the robot at %s", what, robot_);
  close();
  return false;
}

bool tick_link::want(uint32_t adr, uint32_t n, uint8_t* into)
{
  if (fd_ < 0 || count_ == max_awaited || out_len_ + 12 > sizeof out_)
    return false;
  char* p = out_ + out_len_;
  *p++ = 'R';
  *p++ = ' ';
  p = put4(p, adr);
  *p++ = ' ';
  p = put4(p, n);
  *p++ = '\n';
  out_len_ = static_cast<size_t>(p - out_);
  q_[(head_ + count_++) % max_awaited] = {adr, n, into};
  return true;
}

void tick_link::put(uint32_t adr, const uint8_t* bytes, size_t n)
{
  // One line of "W aaaa" and three characters a byte, far below the daemon's 2047.
  if (fd_ < 0 || n == 0 || n > 256 || out_len_ + 8 + 3 * n > sizeof out_)
    return;
  char* p = out_ + out_len_;
  *p++ = 'W';
  *p++ = ' ';
  p = put4(p, adr);
  for (size_t i = 0; i < n; i++) {
    *p++ = ' ';
    *p++ = hexdig[bytes[i] >> 4];
    *p++ = hexdig[bytes[i] & 0xf];
  }
  *p++ = '\n';
  out_len_ = static_cast<size_t>(p - out_);
}

bool tick_link::send()
{
  if (fd_ < 0)
    return false;
  size_t done = 0;
  while (done < out_len_) {
    ssize_t n = ::send(fd_, out_ + done, out_len_ - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;  // the robot reads slowly: the rest waits for the next send
    } else {
      return fail("connection lost to", errno);
    }
  }
  memmove(out_, out_ + done, out_len_ - done);
  out_len_ -= done;
  return true;
}

// One answer line, without its line end: the dump the oldest outstanding request asked for.
bool tick_link::line(const char* s, size_t len)
{
  if (count_ == 0)
    return fail("an answer nobody asked for from", 0);
  const await& w = q_[head_];
  if (len != 6 + 3 * size_t{w.n} || s[0] != '#' || s[5] != ' ')
    return fail("an answer that is not the dump asked for from", 0);
  uint32_t a = 0;
  for (int i = 1; i <= 4; i++) {
    int d = unhex(s[i]);
    if (d < 0)
      return fail("an answer that is not the dump asked for from", 0);
    a = a << 4 | static_cast<uint32_t>(d);
  }
  if (a != (w.adr & 0xffff))
    return fail("an answer for another address from", 0);
  for (uint32_t i = 0; i < w.n; i++) {
    const char* h = s + 6 + size_t{3} * i;
    int hi = unhex(h[0]), lo = unhex(h[1]);
    if (hi < 0 || lo < 0 || h[2] != ' ')
      return fail("an answer that is not the dump asked for from", 0);
    w.into[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  head_ = (head_ + 1) % max_awaited;
  count_--;
  answers_++;
  return true;
}

bool tick_link::take()
{
  if (fd_ < 0)
    return false;
  for (;;) {
    if (in_len_ == sizeof in_)
      return fail("an answer too long from", 0);
    size_t room = sizeof in_ - in_len_;
    ssize_t n = recv(fd_, in_ + in_len_, room, MSG_DONTWAIT);
    if (n > 0) {
      in_len_ += static_cast<size_t>(n);
    } else if (n == 0) {
      return fail("connection closed by", 0);
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      break;
    } else {
      return fail("connection lost to", errno);
    }
    size_t start = 0;
    for (size_t i = 0; i < in_len_; i++) {
      if (in_[i] != '\n')
        continue;
      size_t len = i - start;
      if (len > 0 && in_[start + len - 1] == '\r')
        len--;
      if (!line(in_ + start, len))
        return false;
      start = i + 1;
    }
    memmove(in_, in_ + start, in_len_ - start);
    in_len_ -= start;
    // What had come is taken; asking again would only be told that nothing more has (a
    // system call a cycle, at 120 cycles a second).
    if (static_cast<size_t>(n) < room)
      break;
  }
  return true;
}

}  // namespace orvane::mirror
