// A scripted byte source for the monitor's line readers: what a host's socket gives, receive by
// receive. Steps are played in order; a step of bytes is handed out over as many receives as the
// reader needs. After the last step every receive gives the script's end. Single-threaded.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "monitor/rdline.h"

struct stream_step {
  enum kind { bytes, zero, intr, fail } k;
  std::string data = {};  // for bytes
};

struct stream {
  std::vector<stream_step> steps;
  stream_step::kind end = stream_step::zero;  // zero (the host closed) or fail
  size_t step = 0, off = 0;
  int gets = 0, pauses = 0;  // receives asked for, pauses taken
  dbgs_src src();
};
