// A stand-in for a misbehaving robot: listens on a free loopback port and serves one connection
// with the test's own function (send a banner, close mid-command, never answer...). For tests of
// how hosts report such robots. Owned by the test's thread; the serving runs on its own thread.
#pragma once

#include <functional>
#include <string>
#include <thread>

class FakeRobot {
 public:
  // With no function nothing listens on the port: connections are refused.
  explicit FakeRobot(const std::function<void(int fd)>& serve = nullptr);
  ~FakeRobot();
  FakeRobot(const FakeRobot&) = delete;
  FakeRobot& operator=(const FakeRobot&) = delete;

  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  // Pieces of behaviour for serve functions.
  static void banner(int fd);     // the daemon's banner line
  static void read_line(int fd);  // waits for one line from the host

 private:
  int listen_ = -1;
  int port_ = 0;
  std::thread thread_;
};
