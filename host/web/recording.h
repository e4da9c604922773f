// Recordings in MCAP: every control-loop pass that a poll sees, as the channels of channels.h
// (the ones orvane-web's Foxglove endpoint streams), and a motion played meanwhile with its plan
// and events; and, from such a file, the table of samples a CSV recording holds, for
// record2motion. Runs on the caller's thread with the caller's client.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "orvane.h"
#include "host/motion/record.h"
#include "host/web/channels.h"
#include "host/web/joints.h"
#include "host/web/player.h"

struct mcap_rec_opts {
  std::string library;         // the writing program, for the file's header
  std::string address;         // the robot's, for the file's metadata
  std::string profile;         // the profile's file, for the metadata
  web_joints joints;
  std::string urdf;            // the robot's description, and how its links follow the joints
  ch_kinematics links;
  web_player* player = nullptr;  // a motion started alongside: recorded with its plan and events
  bool until_played = false;     // end once the player's motion has ended, not at `seconds`
};

// Records into `path` until `seconds` have passed (or the motion ended) or `stop` is set, then
// ends the file cleanly. Throws std::runtime_error when the file cannot be written and the
// client library's errors from the robot; the file then holds every pass recorded before.
orvane::motion::record_result record_mcap(orvane::client& c, const std::string& path, double seconds,
                                          const std::atomic<bool>* stop, const mcap_rec_opts& o);

// The samples of an MCAP recording of ours as the CSV of orvane-ctl record has them: time_s,
// loop_count, gap, servo.N.goal and sv_pos.N in servo degrees (empty without a current
// reading), sw_in.N; with '#' notes of readings that were not current. Throws
// std::runtime_error for a file that is no recording of ours.
std::string mcap_recording_csv(std::string_view bytes, const std::string& file);
