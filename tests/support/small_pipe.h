// A one-page pipe that a test fills and drains itself, standing for a standard output whose reader
// stalls or goes away. The test fills it through an open description of its own, so the write end
// handed to the daemon stays blocking, as a terminal's or a supervisor's pipe would be.
// Each object belongs to the test that made it.
#pragma once

#include <chrono>
#include <string>

class SmallPipe {
 public:
  SmallPipe();
  ~SmallPipe();
  SmallPipe(const SmallPipe&) = delete;
  SmallPipe& operator=(const SmallPipe&) = delete;

  int writer() const { return fd_[1]; }  // the write end, for the daemon
  size_t fill();  // writes 'x' until the pipe is full; how many went in
  // Reads until `want` bytes have come in all, or the deadline passes; what came.
  std::string read(size_t want, std::chrono::milliseconds timeout);
  void close_reader();  // the reader goes away: writes now fail with EPIPE

 private:
  int fd_[2] = {-1, -1};
  int filler_ = -1;
};
