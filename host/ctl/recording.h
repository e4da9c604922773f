// orvane-ctl's MCAP recordings (record FILE.mcap, record2motion FILE.mcap), on orvane-web's
// channels and MCAP files; a build without orvane-web's library has none (recording_none.cpp).
// Single-threaded, as the rest of orvane-ctl; a motion played alongside has a thread of its own.
#pragma once

#include <atomic>
#include <string>

#include "ctl.h"
#include "host/motion/record.h"

// Whether a recording's file name asks for MCAP (.mcap) rather than CSV.
bool ctl_is_mcap(const std::string& file);
// Records into an MCAP file for `seconds`, or, with `play` (a motion file), while that motion
// plays and half a second after; ends cleanly when `stop` is set.
orvane::motion::record_result ctl_record_mcap(ctl& c, const std::string& file, double seconds,
                                              const std::string& play, const std::string& profile,
                                              const std::atomic<bool>& stop);
// A recording's text as CSV, whichever of the two formats the file is in.
std::string ctl_recording_csv(const std::string& file);
