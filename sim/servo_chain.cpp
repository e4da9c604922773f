#include "sim/servo_chain.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

static int64_t now_ns()
{
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

static void make_raw(int fd)
{
  termios t;
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
}

// Every chain ever started stays reachable from here, so nothing counts as leaked at exit.
static std::vector<servo_chain*>* all_chains = new std::vector<servo_chain*>;

servo_chain* servo_chain::start(const std::vector<uint8_t>& ids, bool wire_timing)
{
  int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
    fprintf(stderr, "orvane-sim: cannot open a pseudo-terminal: %s\n", strerror(errno));
    if (m >= 0)
      close(m);
    return nullptr;
  }
  // Held open for the chain's life: with no slave open the master reports a hang-up, and the
  // daemon may close and reopen the line at any time.
  int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  int w[2];
  if (s < 0 || pipe2(w, O_CLOEXEC | O_NONBLOCK) != 0) {
    fprintf(stderr, "orvane-sim: cannot open %s: %s\n", name, strerror(errno));
    close(m);
    if (s >= 0)
      close(s);
    return nullptr;
  }
  // Raw on both sides until the daemon sets its own mode, so nothing is ever echoed by the tty.
  make_raw(m);
  make_raw(s);
  fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);

  auto* c = new servo_chain(ids, now_ns());
  all_chains->push_back(c);
  c->master_ = m;
  c->slave_ = s;
  c->wake_[0] = w[0];
  c->wake_[1] = w[1];
  c->path_ = name;
  c->timing_ = wire_timing;
  if (pthread_create(&c->thread_, nullptr, run, c) != 0) {
    fprintf(stderr, "orvane-sim: cannot start the servo chain\n");
    return nullptr;
  }
  return c;
}

std::unique_ptr<servo_chain> servo_chain::unwired(const std::vector<uint8_t>& ids)
{
  // The clock is the line's own: it starts at 0 and moves only with the bytes on it.
  std::unique_ptr<servo_chain> c(new servo_chain(ids, 0));
  c->timing_ = false;
  return c;
}

std::vector<uint8_t> servo_chain::feed(const uint8_t* p, size_t n)
{
  std::lock_guard<std::mutex> l(mu_);
  take(p, n, line_free_);
  std::vector<uint8_t> out;
  for (const out_byte& o : out_)
    out.push_back(o.b);
  out_.clear();
  return out;
}

void servo_chain::stop()
{
  {
    std::lock_guard<std::mutex> l(mu_);
    if (stop_ || master_ < 0)  // stopped already, or never wired to a line
      return;
    stop_ = true;
  }
  uint8_t b = 0;
  (void)!write(wake_[1], &b, 1);
  pthread_join(thread_, nullptr);
  close(master_);
  close(slave_);
  close(wake_[0]);
  close(wake_[1]);
}

void* servo_chain::run(void* self)
{
  static_cast<servo_chain*>(self)->serve();
  return nullptr;
}

// Waits for the daemon's bytes or for the next group of bytes due on the line; bytes go to the
// daemon only when their time has come, so a whole burst arrives at the pace of the line. They
// go in groups of RX_GROUP, as the robot's UART raises its receive interrupt when its 16-byte
// FIFO is half full; the last bytes of a burst go at their own time (the UART would add its
// receive time-out of about 32 bit times there). Handing on every byte alone would wake the
// daemon's servo thread several times more often than the robot's line does.
void servo_chain::serve()
{
  uint8_t in[512];
  std::vector<uint8_t> burst;
  std::unique_lock<std::mutex> l(mu_);
  while (!stop_) {
    int64_t now = now_ns();
    int64_t due = -1;
    if (!out_.empty())
      due = out_[std::min(out_.size(), RX_GROUP) - 1].t;
    if (!late_.empty() && (due < 0 || late_t_ < due))
      due = late_t_;
    timespec ts{}, *tp = nullptr;
    if (due >= 0) {
      int64_t wait = std::max<int64_t>(due - now, 0);
      ts.tv_sec = wait / 1000000000;
      ts.tv_nsec = wait % 1000000000;
      tp = &ts;
    }
    pollfd fds[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    l.unlock();
    ppoll(fds, 2, tp, nullptr);
    l.lock();
    now = now_ns();
    if (fds[0].revents & POLLIN) {
      ssize_t n = read(master_, in, sizeof in);
      if (n > 0)
        take(in, static_cast<size_t>(n), now);
    }
    if (fds[1].revents & POLLIN)
      while (read(wake_[0], in, sizeof in) > 0) {
      }
    if (!late_.empty() && late_t_ <= now)
      flush_late(now);
    burst.clear();
    while (!out_.empty() && out_.front().t <= now) {
      burst.push_back(out_.front().b);
      out_.pop_front();
    }
    // A daemon that does not read lets the tty fill up; the line then loses bytes, as a real
    // receiver with a full buffer would.
    if (!burst.empty())
      (void)!write(master_, burst.data(), burst.size());
  }
}

void servo_chain::send(const uint8_t* p, size_t n, int64_t t)
{
  for (size_t i = 0; i < n; i++) {
    int64_t tb = std::max(t, line_free_) + (timing_ ? BYTE_NS : 0);
    line_free_ = tb;
    out_.push_back({tb, p[i]});
  }
}

void servo_chain::flush_late(int64_t now)
{
  send(late_.data(), late_.size(), now);
  late_.clear();
}

// The daemon's bytes: a held-back reply goes out first, then every byte comes back as its echo
// while the servos listen to it.
void servo_chain::take(const uint8_t* p, size_t n, int64_t now)
{
  if (!late_.empty())
    flush_late(now);
  sv_reply r;
  for (size_t i = 0; i < n; i++) {
    send(&p[i], 1, now);
    if (!model_.hear(p[i], line_free_, &r))
      continue;
    log(model_.packet());
    if (r.n == 0)
      continue;
    if (r.held) {
      late_.insert(late_.end(), r.bytes, r.bytes + r.n);
      late_t_ = r.t;
    } else {
      send(r.bytes, r.n, r.t);
    }
  }
}

void servo_chain::log(const std::vector<uint8_t>& pkt)
{
  packets_.push_back(pkt);
  if (packets_.size() > KEEP)
    packets_.pop_front();
  taken_++;
}

std::vector<std::vector<uint8_t>> servo_chain::packets()
{
  std::lock_guard<std::mutex> l(mu_);
  return {packets_.begin(), packets_.end()};
}

size_t servo_chain::packet_count()
{
  std::lock_guard<std::mutex> l(mu_);
  return taken_;
}

void servo_chain::clear_packets()
{
  std::lock_guard<std::mutex> l(mu_);
  packets_.clear();
  taken_ = 0;
}

std::vector<sv_state> servo_chain::servos()
{
  std::lock_guard<std::mutex> l(mu_);
  return model_.servos(now_ns());
}

bool servo_chain::state(uint8_t id, sv_state* out)
{
  std::lock_guard<std::mutex> l(mu_);
  return model_.state(id, now_ns(), out);
}

bool servo_chain::place(uint8_t id, int16_t pos)
{
  std::lock_guard<std::mutex> l(mu_);
  return model_.place(id, pos, now_ns());
}

bool servo_chain::fault(uint8_t id, sv_fault f, int times)
{
  std::lock_guard<std::mutex> l(mu_);
  return model_.fault(id, f, times);
}

void servo_chain::noise(const std::vector<uint8_t>& bytes)
{
  {
    std::lock_guard<std::mutex> l(mu_);
    send(bytes.data(), bytes.size(), now_ns());
  }
  uint8_t b = 0;
  (void)!write(wake_[1], &b, 1);
}

void servo_chain::on_query(std::function<void(uint8_t id)> f)
{
  std::lock_guard<std::mutex> l(mu_);
  model_.on_query = std::move(f);
}
