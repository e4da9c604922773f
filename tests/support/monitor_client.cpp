#include "support/monitor_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "bench/sys_net.h"
#include "orvane.h"

MonitorClient::~MonitorClient() { close(); }

void MonitorClient::close()
{
  if (fd >= 0)
    ::close(fd);
  fd = -1;
  pending_.clear();
}

bool MonitorClient::connect(int port, std::chrono::milliseconds timeout)
{
  close();
  auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    fd = net_loopback(port);
    if (fd >= 0)
      break;
    close();
    if (std::chrono::steady_clock::now() >= end)
      return false;
    std::this_thread::sleep_for(20ms);
  }
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
  auto b = line(std::max(left, std::chrono::milliseconds(1000)));
  if (!b)
    return false;
  banner = *b;
  return true;
}

bool MonitorClient::send(const std::string& text)
{
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0)
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> MonitorClient::line(std::chrono::milliseconds timeout)
{
  auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    size_t lf = pending_.find('\n');
    if (lf != std::string::npos) {
      std::string l = pending_.substr(0, lf);
      pending_.erase(0, lf + 1);
      if (!l.empty() && l.back() == '\r')
        l.pop_back();
      return l;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || fd < 0)
      return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
      return std::nullopt;
    char buf[16384];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0)
      return std::nullopt;
    pending_.append(buf, static_cast<size_t>(n));
  }
}

bool MonitorClient::closed_by_peer(std::chrono::milliseconds timeout)
{
  auto end = std::chrono::steady_clock::now() + timeout;
  while (fd >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
      return false;
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0)
      return true;
    pending_.append(buf, static_cast<size_t>(n));
  }
  return true;
}

// The commands and the dump parser are the client library's: every command names its address
// and count, and only the hex fields of an answer are read.
std::vector<uint8_t> MonitorClient::read_map(uint32_t addr, uint32_t count)
{
  if (!send(orvane::read_command(addr, count)))
    return {};
  auto l = line();
  auto bytes = l ? orvane::parse_dump(*l, addr) : std::nullopt;
  if (!bytes)
    return {};
  bytes->resize(std::min<size_t>(bytes->size(), count));
  return *bytes;
}

bool MonitorClient::write_map(uint32_t addr, const std::vector<uint8_t>& bytes)
{
  return send(orvane::write_command(addr, bytes));
}

uint32_t MonitorClient::read_u32(uint32_t addr)
{
  auto b = read_map(addr, 4);
  return b.size() == 4 ? b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24 : 0;
}

uint16_t MonitorClient::read_u16(uint32_t addr)
{
  auto b = read_map(addr, 2);
  return b.size() == 2 ? static_cast<uint16_t>(b[0] | b[1] << 8) : 0;
}

uint8_t MonitorClient::read_u8(uint32_t addr)
{
  auto b = read_map(addr, 1);
  return b.size() == 1 ? b[0] : 0;
}

bool MonitorClient::write_u32(uint32_t addr, uint32_t v)
{
  return write_map(addr, {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                          static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)});
}

bool MonitorClient::write_u16(uint32_t addr, uint16_t v)
{
  return write_map(addr, {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)});
}

bool MonitorClient::write_u8(uint32_t addr, uint8_t v) { return write_map(addr, {v}); }
