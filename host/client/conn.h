// One monitor connection of the client library: connect, send and receive lines, each bounded by
// a deadline. Owned by one client object, whose lock serialises every use.
#pragma once

#include <chrono>
#include <string>

namespace orvane {

using deadline = std::chrono::steady_clock::time_point;

struct conn {
  int fd = -1;
  std::string pending;  // received bytes not yet taken as lines
  std::string robot;    // "host:port", named in every error

  ~conn() { close(); }
  // Connects to host:port; `robot` names it in errors. Throws connect_error or timeout_error.
  void open(const std::string& host, int port, const std::string& robot, deadline end);
  // Sends all of `text`; throws closed_error or timeout_error.
  void send(const std::string& text, deadline end);
  // The next line, without its CR LF or LF; throws closed_error or timeout_error.
  std::string line(deadline end);
  // True once the peer has closed the connection, false at the deadline.
  bool wait_closed(deadline end);
  void close();
};

}  // namespace orvane
