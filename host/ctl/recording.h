// orvane-ctl's MCAP recordings (record FILE.mcap, record2motion FILE.mcap), on orvane-web's
// channels and MCAP files; a build without orvane-web's library has none (recording_none.cpp).
// Single-threaded, as the rest of orvane-ctl; a motion played alongside, and the writer of a
// mirroring session's recording, have threads of their own.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ctl.h"
#include "host/mirror/pairs.h"
#include "host/mirror/session.h"
#include "host/motion/record.h"

// Whether a recording's file name asks for MCAP (.mcap) rather than CSV.
bool ctl_is_mcap(const std::string& file);
// Records into an MCAP file for `seconds`, or, with `play` (a motion file), while that motion
// plays and half a second after; ends cleanly when `stop` is set. Joint names, degrees and the
// reading rule are those of orvane-ctl's robot model (-p/--profile).
orvane::motion::record_result ctl_record_mcap(ctl& c, const std::string& file, double seconds,
                                              const std::string& play, const std::atomic<bool>& stop);
// A recording's text as CSV, whichever of the two formats the file is in.
std::string ctl_recording_csv(const std::string& file);

// A mirroring session recorded into an MCAP file: the follower on /joint_states as record writes
// a robot (so record2motion turns the file into a motion of the follower), the leader's readings
// on /leader/joint_states. row() copies a pass into a ring made at the start, allocating nothing
// on the loop's thread; a thread of its own writes the file. Passes the ring cannot hold while
// the disk stalls are counted, not waited for.
class ctl_mirror_mcap {
 public:
  // Throws orvane::error when the file cannot be made or a profile not read. `tick_us` tells the
  // follower's tick, for velocities; any thread may be asked.
  ctl_mirror_mcap(const std::string& file, const std::vector<orvane::mirror::pair>& pairs,
                  const std::string& follower, const std::string& profile,
                  const std::string& leader_profile, std::function<int32_t()> tick_us);
  ~ctl_mirror_mcap();
  ctl_mirror_mcap(const ctl_mirror_mcap&) = delete;
  ctl_mirror_mcap& operator=(const ctl_mirror_mcap&) = delete;

  void row(const orvane::mirror::sample& s);  // the loop's thread
  // Writes what is left and ends the file cleanly; throws orvane::error if a write failed.
  void finish();
  size_t rows() const;
  uint64_t missed() const;   // passes no read of the follower saw
  uint64_t dropped() const;  // passes seen but not written: the writer fell behind

 private:
  struct impl;
  std::unique_ptr<impl> p_;
};
