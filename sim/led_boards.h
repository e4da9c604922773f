// The virtual LED boards: a FIFO that the daemon opens as its I2C bus, and a reader that takes the
// 15-byte packets from it. The slave-select request fails on a FIFO, so the packets are told apart
// by their order (board A, then board B, in every pass). The bus can be made to stall, as one
// whose controller never answers: each write then waits until the bus lets it go. run() belongs
// to the model's reader thread; any thread may read what arrived and set the stall.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "board/ix.h"

struct led_packet {
  uint64_t seq;    // arrival number, from 0
  char board;      // 'A' or 'B', by arrival order
  bool fixed_ok;   // the fixed bytes around the LED values were right
  uint8_t bytes[IX_PACKET_SIZE];
};

class led_boards {
 public:
  static constexpr size_t KEEP = 1024;  // packets kept for inspection

  led_boards() = default;
  ~led_boards();  // closes and removes the FIFO; run() must have returned
  led_boards(const led_boards&) = delete;
  led_boards& operator=(const led_boards&) = delete;

  bool init(const std::string& path);  // makes the FIFO and opens it; false, said on stderr
  const std::string& path() const { return path_; }
  void run();   // takes packets until stop()
  void stop();  // run() returns within a tenth of a second

  uint64_t count() const;  // packets taken so far
  uint64_t bad() const;    // packets whose fixed bytes were wrong
  // The last eight values that each board was sent; false for a board that has had no packet.
  bool last(char board, uint8_t leds[IX_LEDS]) const;
  std::vector<led_packet> packets(uint64_t from) const;  // kept packets with seq >= from
  bool wait_count(uint64_t n, std::chrono::milliseconds timeout) const;
  // A stalled bus lets one write through every `every` (zero: no stall): the first write of each
  // turn, be it one that waited or a new one; every other write waits for the next turn. The slave address is not seen on a FIFO, so the stall holds both boards alike,
  // and while the daemon leaves a board out the order no longer tells A from B.
  void stall(std::chrono::milliseconds every);

 private:
  static constexpr size_t PIPE_SIZE = 4096;  // one page: a stall has only that much to fill
  void drain();
  void fill();
  void take(const uint8_t* bytes);

  std::string path_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> stall_ms_{0};
  // The reader thread's own: the filler the stall put into the pipe and has not taken back, and
  // the packet being gathered.
  size_t filler_ = 0;
  uint8_t buf_[IX_PACKET_SIZE] = {};
  size_t have_ = 0;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  uint64_t count_ = 0, bad_ = 0;
  bool seen_[2] = {false, false};
  uint8_t last_[2][IX_LEDS] = {};
  std::deque<led_packet> kept_;
};
