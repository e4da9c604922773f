// The virtual servo chain's line: the far end of a pseudo-terminal that carries bytes like the
// robot's half-duplex servo line (echo, byte timing, the UART's receive groups, held replies)
// and keeps a log of the packets on it; the servos on it are a servo_model. One thread per
// chain serves the line; tests and the console inspect line and servos under the chain's lock.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/servo_model.h"

class servo_chain {
 public:
  static constexpr int64_t BYTE_NS = 86806;  // 10 bits at 115200 baud
  static constexpr size_t RX_GROUP = 8;       // bytes the daemon's UART hands on at once
  static constexpr int64_t RETURN_NS = servo_model::RETURN_NS;
  static constexpr int POS_LIMIT = servo_model::POS_LIMIT;
  // Packets kept for inspection: a runner that serves the line for hours must not keep them all.
  static constexpr size_t KEEP = 4096;

  // Opens a pseudo-terminal and starts serving it; null (and a line on stderr) on failure.
  // Chains are never destroyed: the process may end while their thread runs.
  static servo_chain* start(const std::vector<uint8_t>& ids, bool wire_timing);
  // A chain with no line and no thread, whose parser takes bytes straight from feed(): for
  // fuzzing and tests of the model itself. Unlike a started chain it may be destroyed.
  static std::unique_ptr<servo_chain> unwired(const std::vector<uint8_t>& ids);
  // Bytes as if the daemon had sent them; returns what the chain puts on the line in answer,
  // echo and replies in line order, with no timing. A late reply waits for the next feed.
  std::vector<uint8_t> feed(const uint8_t* p, size_t n);
  // Ends the thread and closes the pseudo-terminal; the object stays valid for inspection.
  void stop();
  const char* path() const { return path_.c_str(); }  // the line the daemon opens

  // The latest packets taken from the line (at most KEEP), in order.
  std::vector<std::vector<uint8_t>> packets();
  size_t packet_count();  // packets taken since the start or the last clear, kept or not
  void clear_packets();
  std::vector<sv_state> servos();
  bool state(uint8_t id, sv_state* out);
  bool place(uint8_t id, int16_t pos);  // puts a servo at a present position
  // Makes a servo misbehave for its next `times` replies (negative: until told otherwise).
  bool fault(uint8_t id, sv_fault f, int times = -1);
  void noise(const std::vector<uint8_t>& bytes);  // bytes on the line that nobody sent
  // Called on the chain's thread, under its lock, when a query for one of its servos arrives
  // and before it is answered; lets a test act at an exact point of a cycle. Not to call back.
  void on_query(std::function<void(uint8_t id)> f);

 private:
  struct out_byte {
    int64_t t;
    uint8_t b;
  };

  servo_chain(const std::vector<uint8_t>& ids, int64_t now) : model_(ids, now) {}
  static void* run(void* self);
  void serve();
  void take(const uint8_t* p, size_t n, int64_t now);
  void log(const std::vector<uint8_t>& pkt);
  void send(const uint8_t* p, size_t n, int64_t t);
  void flush_late(int64_t now);

  std::mutex mu_;
  servo_model model_;
  bool timing_ = true;
  int master_ = -1, slave_ = -1, wake_[2] = {-1, -1};
  bool stop_ = false;
  pthread_t thread_{};
  std::string path_;
  std::deque<out_byte> out_;  // bytes on their way to the daemon, in time order
  int64_t line_free_ = 0;     // when the line is next free for a byte
  std::deque<std::vector<uint8_t>> packets_;
  size_t taken_ = 0;  // packets taken since the last clear
  std::vector<uint8_t> late_;  // held-back replies
  int64_t late_t_ = 0;
};
