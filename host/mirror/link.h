// A monitor connection for the mirroring loop. Requests are queued as protocol text in a fixed
// buffer and leave in one send, without waiting for earlier answers (the daemon carries lines out
// in order and answers only dumps); each dump's answer is parsed into bytes its caller owns. No
// call allocates once the link is open. Owned by one thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace orvane::mirror {

class tick_link {
 public:
  static constexpr size_t max_awaited = 16;  // dumps whose answers may be outstanding at once

  tick_link() = default;
  ~tick_link() { close(); }
  tick_link(const tick_link&) = delete;
  tick_link& operator=(const tick_link&) = delete;

  // Connects to "host[:port]" and reads the banner. False with reason() set.
  bool open(const std::string& robot, std::chrono::milliseconds timeout);
  void close();
  bool up() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Queues a dump of `n` bytes at `adr`; its answer will be stored into `into`, which must stay
  // valid until then. False (nothing queued) when too many answers are outstanding already.
  bool want(uint32_t adr, uint32_t n, uint8_t* into);
  // Queues a write of `n` bytes at `adr`.
  void put(uint32_t adr, const uint8_t* bytes, size_t n);
  // Sends what is queued, as much as the socket takes now; the rest goes with the next send.
  // False once the connection has failed (reason() says why; the link is then closed).
  bool send();
  // Takes the answers that have arrived, without waiting. False as send.
  bool take();
  size_t awaited() const { return count_; }
  uint64_t answers() const { return answers_; }  // dumps answered since open
  bool pending_out() const { return out_len_ > 0; }
  const char* reason() const { return reason_; }

 private:
  struct await {
    uint32_t adr, n;
    uint8_t* into;
  };
  bool fail(const char* what, int err);
  bool line(const char* s, size_t len);

  int fd_ = -1;
  char robot_[96] = {};
  char reason_[192] = {};
  char out_[4096];
  size_t out_len_ = 0;
  char in_[8192];
  size_t in_len_ = 0;
  await q_[max_awaited];
  size_t head_ = 0, count_ = 0;
  uint64_t answers_ = 0;
};

}  // namespace orvane::mirror
