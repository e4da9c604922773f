#include "support/fake_robot.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

FakeRobot::FakeRobot(const std::function<void(int fd)>& serve)
{
  listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  // Bound but not listening: the port stays ours, and a connect to it is refused.
  if (bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return;
  port_ = ntohs(a.sin_port);
  if (!serve || listen(listen_, 1) != 0)
    return;
  thread_ = std::thread([this, serve] {
    int fd = accept(listen_, nullptr, nullptr);
    if (fd < 0)
      return;
    serve(fd);
    close(fd);
  });
}

FakeRobot::~FakeRobot()
{
  shutdown(listen_, SHUT_RDWR);  // ends an accept still waiting
  if (thread_.joinable())
    thread_.join();
  close(listen_);
}

void FakeRobot::banner(int fd)
{
  static const char b[] = "#orvane-6 (Dec  7 2026 10:00:00)\n";
  (void)!write(fd, b, sizeof b - 1);
}

void FakeRobot::read_line(int fd)
{
  char c;
  while (recv(fd, &c, 1, 0) == 1 && c != '\n') {
  }
}
