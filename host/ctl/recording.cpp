#include "recording.h"

#include <algorithm>
#include <filesystem>

#include "orvane_version.h"
#include "host/motion/yaml_util.h"
#include "host/web/description.h"
#include "host/web/joints.h"
#include "host/web/motions.h"
#include "host/web/player.h"
#include "host/web/recording.h"

namespace mo = orvane::motion;

bool ctl_is_mcap(const std::string& file)
{
  return file.size() > 5 && file.ends_with(".mcap");
}

mo::record_result ctl_record_mcap(ctl& c, const std::string& file, double seconds, const std::string& play,
                                  const std::string& profile, const std::atomic<bool>& stop)
{
  mcap_rec_opts o;
  o.library = "orvane-ctl " ORVANE_VERSION;
  o.address = c.robot;
  o.profile = profile;
  try {
    if (!profile.empty()) {
      o.joints = web_joints_load(profile);
      // The same /robot_description and /tf as orvane-web's endpoint, so a file opens in 3D.
      std::vector<std::string> notes;
      if (auto d = web_description(profile, &notes)) {
        o.urdf = d->text();
        o.links = web_kinematics(d);
      }
    }
  } catch (const std::exception& e) {
    throw orvane::error(e.what());
  }
  auto& cl = c.client();
  std::unique_ptr<web_motions> motions;
  std::unique_ptr<web_player> player;
  if (!play.empty()) {
    namespace fs = std::filesystem;
    fs::path p(play);
    try {
      motions = std::make_unique<web_motions>(p.has_parent_path() ? p.parent_path().string() : ".", profile);
    } catch (const std::exception& e) {
      throw orvane::error(e.what());
    }
    std::string name = p.filename().string();
    auto list = motions->list();
    auto m = std::find_if(list.begin(), list.end(), [&](const web_motion_info& i) { return i.name == name; });
    if (m == list.end())
      throw orvane::error("--play: no motion file " + play);
    if (!m->problem.empty())
      throw orvane::error(m->problem);
    player = std::make_unique<web_player>(*motions);
    // The player shares the recorder's connection, as orvane-web's does its poller's; the client
    // library takes one call at a time.
    player->start(std::shared_ptr<orvane::client>(&cl, [](orvane::client*) {}), name);
    o.player = player.get();
    o.until_played = true;
  }
  try {
    mo::record_result r = record_mcap(cl, file, seconds, &stop, o);
    if (player) {
      web_play st = player->status();
      player.reset();  // joins it
      if (st.outcome != "done" && st.outcome != "stopped")
        throw orvane::error("motion " + st.name + ": " + st.outcome);
    }
    return r;
  } catch (const std::runtime_error& e) {
    if (dynamic_cast<const orvane::error*>(&e))
      throw;
    throw orvane::error(e.what());
  }
}

std::string ctl_recording_csv(const std::string& file)
{
  std::string bytes = mo::mo_read_file(file);
  if (!ctl_is_mcap(file))
    return bytes;
  try {
    return mcap_recording_csv(bytes, file);
  } catch (const std::runtime_error& e) {
    throw mo::mo_errors({e.what()});
  }
}
