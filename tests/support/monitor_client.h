// A host for black-box tests: connects to the monitor on loopback, reads the banner, sends
// command lines and reads whole reply lines, each with a deadline. Its map access uses the
// client library's commands and dump parser; tests that need no raw lines use SimHost's
// orvane::client instead.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using namespace std::chrono_literals;

class MonitorClient {
 public:
  MonitorClient() = default;
  ~MonitorClient();
  MonitorClient(const MonitorClient&) = delete;
  MonitorClient& operator=(const MonitorClient&) = delete;

  // Connects to 127.0.0.1:port and reads the banner line; false if either fails in time.
  bool connect(int port, std::chrono::milliseconds timeout = 10s);
  bool send(const std::string& text);
  // The next line the daemon sent, without its line end (LF or CR LF); nothing on time-out or
  // when the daemon closed the connection.
  std::optional<std::string> line(std::chrono::milliseconds timeout = 10s);
  // True when the daemon has closed the connection within the time-out.
  bool closed_by_peer(std::chrono::milliseconds timeout);
  void close();

  // Map access through dump and write commands. read_map returns fewer bytes if the answer is
  // missing or malformed.
  std::vector<uint8_t> read_map(uint32_t addr, uint32_t count);
  bool write_map(uint32_t addr, const std::vector<uint8_t>& bytes);
  uint32_t read_u32(uint32_t addr);
  uint16_t read_u16(uint32_t addr);
  uint8_t read_u8(uint32_t addr);
  bool write_u32(uint32_t addr, uint32_t v);
  bool write_u16(uint32_t addr, uint16_t v);
  bool write_u8(uint32_t addr, uint8_t v);

  std::string banner;
  int fd = -1;

 private:
  std::string pending_;
};
