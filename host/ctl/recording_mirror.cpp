// A mirroring session's MCAP recording: a ring of passes filled by the mirroring loop, emptied
// by a writer thread that turns each pass into the follower's and the leader's joint states.
#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "orvane_version.h"
#include "recording.h"
#include "host/mirror/rules.h"
#include "host/web/channels.h"
#include "host/web/description.h"
#include "host/web/mcap.h"

namespace mi = orvane::mirror;

namespace {

constexpr size_t ring_size = 512;                 // passes: over 8 s at 60 Hz for a stalled disk
constexpr auto write_every = std::chrono::milliseconds(50);
constexpr uint16_t ch_leader_joints = 100;        // /leader/joint_states, after the robot's channels

struct pass_copy {
  int64_t t_ns = 0;
  uint32_t pass = 0, missed = 0;
  std::array<int16_t, 128> goal{};
  std::array<int16_t, 32> fpos{}, lpos{};
  std::array<bool, 32> lvalid{};
};

// One side's servo as a state the channel builder takes, in its joint's degrees and named after
// it when its robot has a profile; `goal` null for the limp leader, whose goal is shown as where
// it is.
web_servo servo_of(const orvane::joint& j, bool named, const int16_t* pos, const int16_t* goal, bool valid)
{
  web_servo v;
  v.id = j.id;
  int16_t p = pos[j.id - 1];
  bool have = valid && p != orvane::no_reading && p != mi::not_read_yet;
  if (have) {
    v.pos = p;
    v.deg = orvane::joint_degrees(j, orvane::to_degrees(p));
  } else {
    v.reading = p == mi::not_read_yet ? "never_read" : "silent";
    v.why = "no current reading";
  }
  v.goal = goal ? goal[j.id] : have ? p : 0;
  v.goal_deg = orvane::joint_degrees(j, orvane::to_degrees(static_cast<int16_t>(v.goal)));
  v.torque = goal ? 1 : 0;
  if (named)
    v.joint = j.name;
  return v;
}

}  // namespace

struct ctl_mirror_mcap::impl {
  std::vector<mi::pair> pairs;
  std::function<int32_t()> tick_us;
  mcap_writer w;
  ch_builder follower, leader;
  bool follower_named, leader_named;  // the robot has a profile: its joints have names
  std::vector<pass_copy> ring = std::vector<pass_copy>(ring_size);
  std::atomic<size_t> head{0}, tail{0};  // head: the loop's; tail: the writer's
  std::atomic<uint64_t> dropped{0};
  uint64_t seen = 0, missed = 0;  // the loop's
  size_t rows = 0;      // the writer's, read after the join
  std::mutex mu;        // guards done, with cv
  std::condition_variable cv;
  bool done = false;
  std::thread th;
  std::string failed;   // what the writer threw

  impl(const std::string& file, const std::vector<mi::pair>& p, const std::string& profile,
       const std::string& leader_profile)
      : pairs(p), w(file, "orvane-ctl " ORVANE_VERSION), follower_named(!profile.empty()),
        leader_named(!profile.empty() || !leader_profile.empty())
  {
  }

  void write(const pass_copy& c, web_state& fs, web_state& ls, rate_meter& meter)
  {
    fs.loop_count = ls.loop_count = c.pass;
    fs.tick_period = ls.tick_period = tick_us ? tick_us() : 0;
    for (size_t k = 0; k < pairs.size(); k++) {
      fs.servos[k] = servo_of(pairs[k].follower, follower_named, c.fpos.data(), c.goal.data(), true);
      ls.servos[k] = servo_of(pairs[k].leader, leader_named, c.lpos.data(), nullptr, c.lvalid[k]);
    }
    // The loop's own clock for the pass rate, so that a late write does not skew it.
    meter.sample(c.pass, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(c.t_ns)));
    follower.update(fs, meter.rate, c.t_ns);
    leader.update(ls, meter.rate, c.t_ns);
    auto t = static_cast<uint64_t>(c.t_ns);
    w.message(ch_joints, t, follower.message(ch_joints));
    w.message(ch_leader_joints, t, leader.message(ch_joints));
    if (follower.has_transforms())
      w.message(ch_transforms, t, follower.message(ch_transforms));
    rows++;
  }

  void run()
  {
    web_state fs, ls;
    fs.connected = ls.connected = true;
    fs.comm_on = ls.comm_on = true;
    fs.servos.resize(pairs.size());
    ls.servos.resize(pairs.size());
    rate_meter meter;
    bool last = false;
    while (!last) {
      {
        std::unique_lock<std::mutex> l(mu);
        cv.wait_for(l, write_every, [&] { return done; });
        last = done;
      }
      try {
        for (size_t t = tail.load(std::memory_order_relaxed); t != head.load(std::memory_order_acquire); t++) {
          write(ring[t % ring_size], fs, ls, meter);
          tail.store(t + 1, std::memory_order_release);
        }
      } catch (const std::exception& e) {
        failed = e.what();
        return;
      }
    }
  }
};

ctl_mirror_mcap::ctl_mirror_mcap(const std::string& file, const std::vector<mi::pair>& pairs,
                                 const std::string& follower, const std::string& profile,
                                 const std::string& leader_profile, std::function<int32_t()> tick_us)
{
  try {
    p_ = std::make_unique<impl>(file, pairs, profile, leader_profile);
    if (!profile.empty()) {
      // The follower's description and link poses, as record writes them, so the file opens in 3D.
      std::vector<std::string> notes;
      if (auto d = web_description(profile, &notes))
        p_->follower.set_description(d->text(), web_kinematics(d));
    }
  } catch (const orvane::error&) {
    throw;
  } catch (const std::exception& e) {
    throw orvane::error(e.what());
  }
  impl& m = *p_;
  m.tick_us = std::move(tick_us);
  const ch_channel* joints = ch_find(ch_joints);
  m.w.channel(ch_joints, joints->topic, joints->schema_name, joints->schema);
  m.w.channel(ch_leader_joints, "/leader" + joints->topic, joints->schema_name, joints->schema);
  if (m.follower.has_description()) {
    for (ch_id id : {ch_description, ch_transforms}) {
      const ch_channel* ch = ch_find(id);
      m.w.channel(id, ch->topic, ch->schema_name, ch->schema);
    }
  }
  m.w.metadata("orvane", {{"address", follower}, {"profile", profile}, {"leader_profile", leader_profile}});
  if (m.follower.has_description()) {
    auto t = std::chrono::system_clock::now().time_since_epoch();
    m.w.message(ch_description, static_cast<uint64_t>(std::chrono::nanoseconds(t).count()),
                m.follower.message(ch_description));
  }
  m.th = std::thread([&m] { m.run(); });
}

ctl_mirror_mcap::~ctl_mirror_mcap()
{
  if (p_ && p_->th.joinable()) {
    {
      std::lock_guard<std::mutex> l(p_->mu);
      p_->done = true;
    }
    p_->cv.notify_all();
    p_->th.join();
  }
}

void ctl_mirror_mcap::row(const mi::sample& s)
{
  impl& m = *p_;
  size_t h = m.head.load(std::memory_order_relaxed);
  if (m.seen++ > 0)
    m.missed += s.missed;
  if (h - m.tail.load(std::memory_order_acquire) >= ring_size) {
    m.dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  pass_copy& c = m.ring[h % ring_size];
  c.t_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
  c.pass = s.pass;
  c.missed = s.missed;
  std::copy(s.goal, s.goal + c.goal.size(), c.goal.begin());
  std::copy(s.fpos, s.fpos + c.fpos.size(), c.fpos.begin());
  std::copy(s.lpos, s.lpos + c.lpos.size(), c.lpos.begin());
  for (size_t k = 0; k < m.pairs.size() && k < c.lvalid.size(); k++)
    c.lvalid[k] = s.lvalid[k];
  m.head.store(h + 1, std::memory_order_release);
}

void ctl_mirror_mcap::finish()
{
  impl& m = *p_;
  if (m.th.joinable()) {
    {
      std::lock_guard<std::mutex> l(m.mu);
      m.done = true;
    }
    m.cv.notify_all();
    m.th.join();
  }
  if (!m.failed.empty())
    throw orvane::error(m.failed);
  try {
    m.w.close();
  } catch (const std::exception& e) {
    throw orvane::error(e.what());
  }
}

size_t ctl_mirror_mcap::rows() const { return p_->rows; }
uint64_t ctl_mirror_mcap::missed() const { return p_->missed; }
uint64_t ctl_mirror_mcap::dropped() const { return p_->dropped.load(std::memory_order_relaxed); }
