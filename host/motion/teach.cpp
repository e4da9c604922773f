#include "host/motion/teach.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "host/motion/yaml_util.h"

namespace orvane::motion {

namespace {

int16_t word(const std::vector<uint8_t>& b, size_t i)
{
  return static_cast<int16_t>(b[2 * i] | b[2 * i + 1] << 8);
}

}  // namespace

int teach_session::group_room(int32_t tick_us, int write_count)
{
  return groups_room(tick_us, write_count);
}

teach_session::teach_session(client& c, const profile& p, std::vector<const joint*> joints, int ms)
    : c_(c), p_(p), joints_(std::move(joints)), ms_(ms)
{
  m_.file = "taught";
  m_.description = "taught by hand";
}

teach_session::~teach_session()
{
  try {
    end();
  } catch (...) {  // a robot gone away cannot be put back; the caller has said so already
  }
}

void teach_session::begin()
{
  int32_t tick = c_.tick_us();
  int room = group_room(tick, static_cast<int>(c_.write_list().size()));
  int n = static_cast<int>(joints_.size());
  room = std::max(room, (n + 3) / 4);  // all must fit the four groups, even at some overrun
  uint32_t gofs = resolve("rd_group", 0).offset;
  groups_ = c_.read(gofs, 64);
  auto out = c_.read(resolve("ip_out", 0).offset, 2 * channels);
  torque_was_.clear();
  for (const joint* j : joints_)
    torque_was_.push_back(word(out, static_cast<size_t>(mo_torque_ch(j->id))));
  active_ = true;

  std::vector<uint8_t> g(64, 0);
  int used = 0;
  for (int i = 0; i < n; i++) {
    size_t at = 16 * static_cast<size_t>(i / room);
    g[at] = 1;
    g[at + 1]++;
    g[at + 2 + static_cast<size_t>(i % room)] = static_cast<uint8_t>(joints_[static_cast<size_t>(i)]->id);
    used = i / room + 1;
  }
  c_.write(gofs, g);
  std::vector<target> limp;
  for (const joint* j : joints_)
    limp.push_back({mo_torque_ch(j->id), 0});
  c_.move_channels(limp, 1);
  // One group is read per tick: every joint has been asked after as many ticks as groups.
  std::this_thread::sleep_for(std::chrono::microseconds(int64_t{tick} * (used + 3)));
}

// A single failed query leaves 0x8000 until the servo's group comes round again, so a joint
// without a reading is given a little while (more than one servo line time-out of 0.1 s) before
// it is left out.
std::vector<uint8_t> teach_session::readings()
{
  uint32_t at = resolve("sv_pos", 1).offset;
  auto until = std::chrono::steady_clock::now() + CAPTURE_PATIENCE;
  std::vector<uint8_t> best = c_.read(at, 2 * MO_MAX_ID);
  auto lacking = [&] {
    return std::any_of(joints_.begin(), joints_.end(), [&](const joint* j) {
      return word(best, static_cast<size_t>(j->id - 1)) == no_reading;
    });
  };
  while (lacking() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto pos = c_.read(at, 2 * MO_MAX_ID);
    for (size_t i = 0; i < MO_MAX_ID; i++)  // a joint read once keeps that reading
      if (word(best, i) == no_reading) {
        best[2 * i] = pos[2 * i];
        best[2 * i + 1] = pos[2 * i + 1];
      }
  }
  return best;
}

std::vector<std::string> teach_session::capture()
{
  auto pos = readings();
  keyframe k;
  k.amount = ms_;
  std::vector<std::string> notes;
  std::string frame = "keyframe " + std::to_string(m_.frames.size() + 1);
  for (const joint* j : joints_) {
    int16_t v = word(pos, static_cast<size_t>(j->id - 1));
    std::string who = j->name == std::to_string(j->id) ? "servo " + j->name
                                                       : j->name + " (servo " + std::to_string(j->id) + ")";
    if (v == no_reading) {
      notes.push_back(frame);
      notes.back().append(": no reading from ").append(who).append("; left out of this keyframe");
      continue;
    }
    double deg = std::round(joint_deg(*j, v) * 100) / 100;
    double held = std::clamp(deg, j->min, j->max);
    double servo = joint_servo_deg(*j, held);
    if (servo < -MO_DEG_LIMIT || servo > MO_DEG_LIMIT)
      held = joint_deg(*j, static_cast<int16_t>(std::clamp(servo, -MO_DEG_LIMIT, MO_DEG_LIMIT) * 10));
    if (held != deg) {
      notes.push_back(frame);
      notes.back().append(": ").append(who).append(" at ").append(fmt_deg(deg));
      notes.back().append(" is beyond its limits; taken as ").append(fmt_deg(held));
    }
    k.pose.emplace_back(j->name, held);
  }
  if (k.pose.empty()) {
    notes.push_back(frame + " not taken: no joint could be read");
    return notes;
  }
  if (m_.frames.empty())
    for (const joint* j : joints_)
      k.torque.emplace_back(j->name, MO_TORQUE_ON);
  m_.frames.push_back(k);
  return notes;
}

bool teach_session::undo()
{
  if (m_.frames.empty())
    return false;
  m_.frames.pop_back();
  return true;
}

void teach_session::end()
{
  if (!active_)
    return;
  active_ = false;
  auto pos = c_.read(resolve("sv_pos", 1).offset, 2 * MO_MAX_ID);
  std::vector<target> hold, torque;
  for (size_t i = 0; i < joints_.size(); i++) {
    int id = joints_[i]->id;
    int16_t v = word(pos, static_cast<size_t>(id - 1));
    if (v != no_reading)
      hold.push_back({mo_goal_ch(id), v});
    torque.push_back({mo_torque_ch(id), torque_was_[i]});
  }
  if (!hold.empty())
    c_.move_channels(hold, 1);
  c_.move_channels(torque, 1);
  c_.write(resolve("rd_group", 0).offset, groups_);
}

}  // namespace orvane::motion
