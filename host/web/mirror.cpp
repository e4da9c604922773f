#include "host/web/mirror.h"

#include "host/mirror/session.h"
#include "host/mirror/side.h"
#include "host/motion/profile.h"
#include "orvane.h"

namespace mi = orvane::mirror;
namespace mo = orvane::motion;

struct web_mirror::impl {
  web_mirror_opts o;
  std::atomic<bool> stop{false};
  std::atomic<bool> running{false};
  std::unique_ptr<mi::session> s;  // set and reset on the poller's thread, while no thread runs
  std::thread th;
  int leader = -1;
  std::string leader_address;
  mutable std::mutex mu;  // guards last and failed
  std::string last;       // the session's last line
  std::string failed;     // why the last session ended, when it could not go on

  void join()
  {
    if (th.joinable())
      th.join();
  }
};

web_mirror::web_mirror(web_mirror_opts o) : p_(std::make_unique<impl>())
{
  p_->o = std::move(o);
}

web_mirror::~web_mirror()
{
  p_->stop = true;
  p_->join();
}

bool web_mirror::built() { return true; }

std::string web_mirror::engage(const std::string& follower, const std::string& leader, int index)
{
  impl& m = *p_;
  if (m.running) {
    if (index != m.leader)
      return "mirroring robot " + std::to_string(m.leader) + " already: end that first";
    m.s->pause(false);
    return "";
  }
  m.join();  // the session before has ended; only its join is left
  mo::profile p;
  try {
    p = m.o.profile.empty() ? mo::profile_none() : mo::profile_load(m.o.profile);
  } catch (const mo::mo_errors& e) {
    return e.list.empty() ? "the profile cannot be read" : e.list[0];
  }
  bool same = mi::same_robot(leader, follower);
  mi::options o;
  try {
    std::vector<int> ids;
    if (m.o.map.empty() && p.file.empty())
      ids = orvane::client(follower, std::chrono::seconds(1)).write_list();
    o.pairs = mi::make_pairs(p, p, {m.o.map, {}, {}}, ids, same);
  } catch (const mi::pair_error& e) {
    return e.what();
  } catch (const orvane::error& e) {
    return e.what();
  }
  o.leader = leader;
  o.follower = follower;
  o.same_robot = same;
  m.s = std::make_unique<mi::session>(o);
  m.s->say = [&m](const std::string& line) {
    std::lock_guard<std::mutex> g(m.mu);
    m.last = line;
  };
  m.leader = index;
  m.leader_address = leader;
  m.stop = false;
  m.running = true;
  {
    std::lock_guard<std::mutex> g(m.mu);
    m.failed.clear();
    m.last.clear();
  }
  m.th = std::thread([&m] {
    try {
      m.s->run(m.stop);
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> g(m.mu);
      m.failed = e.what();
    }
    m.running = false;
  });
  return "";
}

void web_mirror::pause()
{
  if (p_->running)
    p_->s->pause(true);
}

void web_mirror::end() { p_->stop = true; }

std::string web_mirror::busy() const
{
  return p_->running ? "mirroring robot " + std::to_string(p_->leader) + ": end it first" : "";
}

web_mirror_state web_mirror::state() const
{
  const impl& m = *p_;
  web_mirror_state st;
  st.leader = m.leader;
  if (!m.s)
    return st;
  st.on = m.running;
  mi::status s = m.s->now();
  st.phase = mi::phase_name(s.ph);
  st.why = s.why;
  st.lag_ms = s.lag_ms;
  st.lag_ticks = s.lag_ticks;
  st.gap = s.gap;
  std::lock_guard<std::mutex> g(m.mu);
  if (!m.failed.empty())
    st.why = m.failed;
  return st;
}
