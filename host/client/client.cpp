// The client: typed and raw map access over one monitor connection. The lock `mu` guards the
// connection; every public function takes it for its own commands.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>

#include "conn.h"
#include "orvane.h"

namespace orvane {

namespace {

constexpr uint32_t map_one = 0x0010;  // the constant word: a cheap read that confirms a write
constexpr uint32_t ip_target = 0x0A00, ip_enable = 0x0B00, ttime = 0x0B80, ip_count = 0x0D00;
constexpr uint32_t sw_in = 0x0060, sv_torque_on = 0x0048;
constexpr uint32_t exit_req = 0x0050, poweroff_req = 0x0051;
constexpr uint32_t loop_count = 0x0080, wr_count = 0x00A1, sv_pos = 0x0D80, led_a = 0x0C80;
constexpr int torque_channel = 32, led_channel = 64;
// A write line stays far below the daemon's 2047 characters: "W aaaa" and 3 per byte.
constexpr size_t write_chunk = 256;

void check_span(uint32_t adr, size_t n)
{
  if (adr >= map_size || n > map_size - adr)
    throw out_of_range("bytes " + std::to_string(adr) + ".." + std::to_string(adr + n) +
                       " lie beyond the map (0..4095)");
}

int hex(char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;  // the daemon answers in lowercase only
}

std::vector<uint8_t> encode(const field& f, int64_t v)
{
  std::vector<uint8_t> b(f.width);
  for (uint32_t i = 0; i < f.width; i++)
    b[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
  return b;
}

void check_settable(const field_ref& r)
{
  if (r.f->writer == field_writer::daemon)
    throw out_of_range("'" + r.label + "' is written by the daemon; a host cannot set it");
}

void check_value(const field_ref& r, int64_t v)
{
  if (v < r.f->min || v > r.f->max)
    throw out_of_range("value " + std::to_string(v) + " for '" + r.label + "' out of range " +
                       std::to_string(r.f->min) + ".." + std::to_string(r.f->max));
}

void check_ticks(int ticks)
{
  if (ticks < 1)
    throw out_of_range("move of " + std::to_string(ticks) + " ticks out of range 1.." +
                       std::to_string(move_ticks_max));
}

std::string id_list(const std::vector<int>& ids, const char* sep)
{
  std::string s;
  for (int id : ids)
    s += (s.empty() ? "" : sep) + std::to_string(id);
  return s;
}

std::string listed_text(const std::vector<int>& ids, const std::vector<int>& list)
{
  std::string who = ids.size() == 1 ? "servo " + id_list(ids, ", ") + " is"
                                    : "servos " + id_list(ids, ", ") + " are";
  return who + " not in the write list (" +
         (list.empty() ? std::string("wr_ids is empty") : "wr_ids " + id_list(list, " ")) +
         "): nothing would reach " + (ids.size() == 1 ? "it" : "them");
}

std::string deg_text(double d)
{
  char s[32];
  snprintf(s, sizeof s, "%.1f", d);
  return s;
}

void check_servo(int id)
{
  if (id < 1 || id > servo_max)
    throw out_of_range("servo id " + std::to_string(id) + " out of range 1..32");
}

// An 'R' answer for exactly n bytes at adr, and nothing else on the line.
bool parse_answer(const std::string& l, uint32_t adr, uint32_t n, std::vector<uint8_t>& out)
{
  auto b = parse_dump(l, adr);
  if (!b || b->size() != n || l.size() != 6 + 3 * size_t{n})
    return false;
  out = std::move(*b);
  return true;
}

std::string write_cmds(uint32_t adr, const uint8_t* bytes, size_t n)
{
  return write_command(adr, std::vector<uint8_t>(bytes, bytes + n));
}

}  // namespace

std::string read_command(uint32_t adr, uint32_t n)
{
  char cmd[32];
  snprintf(cmd, sizeof cmd, "R %04" PRIx32 " %04" PRIx32 "\n", adr, n);
  return cmd;
}

std::string write_command(uint32_t adr, const std::vector<uint8_t>& bytes)
{
  std::string out;
  char part[16];
  for (size_t i = 0; i < bytes.size(); i++) {
    if (i % write_chunk == 0) {
      snprintf(part, sizeof part, "%sW %04" PRIx32, i ? "\n" : "", static_cast<uint32_t>(adr + i));
      out += part;
    }
    snprintf(part, sizeof part, " %02x", bytes[i]);
    out += part;
  }
  return bytes.empty() ? out : out + "\n";
}

// Pairs "hh " from offset 6 on; a text column starts after one more blank, so it never reads
// as a pair.
std::optional<std::vector<uint8_t>> parse_dump(std::string_view l, uint32_t adr)
{
  if (l.size() < 6 || l[0] != '#' || l[5] != ' ')
    return std::nullopt;
  uint32_t a = 0;
  for (size_t i = 1; i <= 4; i++) {
    int d = hex(l[i]);
    if (d < 0)
      return std::nullopt;
    a = a << 4 | static_cast<uint32_t>(d);
  }
  if (a != (adr & 0xffff))
    return std::nullopt;
  std::vector<uint8_t> out;
  for (size_t at = 6; at + 3 <= l.size(); at += 3) {
    int hi = hex(l[at]), lo = hex(l[at + 1]);
    if (hi < 0 || lo < 0 || l[at + 2] != ' ')
      break;
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return out;
}

not_in_write_list::not_in_write_list(std::vector<int> i, std::vector<int> l)
    : out_of_range(listed_text(i, l)), ids(std::move(i)), write_list(std::move(l))
{
}

not_reached::not_reached(const std::string& what, std::vector<int> i)
    : timeout_error(what), ids(std::move(i))
{
}

struct client::impl {
  std::string host, robot;
  int port = default_port;
  std::chrono::milliseconds timeout;
  mutable std::mutex mu;
  conn c;
  std::string banner;

  deadline end() const { return std::chrono::steady_clock::now() + timeout; }

  // Runs one exchange; a time-out or a broken answer leaves the line in an unknown state, so
  // the connection is closed and later calls say so until reconnect().
  template <class F>
  auto guarded(F f)
  {
    if (c.fd < 0)
      throw closed_error("not connected to " + robot);
    try {
      return f();
    } catch (const timeout_error&) {
      c.close();
      throw;
    } catch (const protocol_error&) {
      c.close();
      throw;
    }
  }

  void open()
  {
    deadline e = end();
    c.open(host, port, robot, e);
    std::string b;
    try {
      b = c.line(e);
    } catch (const timeout_error&) {
      c.close();
      throw timeout_error("no banner from " + robot + ": timed out");
    } catch (const closed_error&) {
      throw closed_error("connection closed by the robot at " + robot + " before its banner");
    }
    if (b.empty() || b[0] != '#') {
      c.close();
      throw protocol_error(robot + " is not an orvane monitor (banner '" + b.substr(0, 40) + "')");
    }
    banner = b;
  }

  std::vector<uint8_t> read(uint32_t adr, uint32_t n)
  {
    check_span(adr, n);
    if (n == 0)
      return {};
    return guarded([&] {
      deadline e = end();
      c.send(read_command(adr, n), e);
      std::vector<uint8_t> out;
      std::string l = c.line(e);
      if (!parse_answer(l, adr, n, out))
        throw protocol_error("unexpected answer from " + robot + ": '" + l.substr(0, 60) + "'");
      return out;
    });
  }

  // Sends write lines (and any further lines in `more`), then one cheap read: its answer shows
  // that the daemon has carried out everything before it, since lines run in order.
  void write_confirmed(const std::string& lines)
  {
    guarded([&] {
      deadline e = end();
      c.send(lines + read_command(map_one, 1), e);
      std::vector<uint8_t> one;
      std::string l = c.line(e);
      if (!parse_answer(l, map_one, 1, one))
        throw protocol_error("unexpected answer from " + robot + ": '" + l.substr(0, 60) + "'");
      return 0;
    });
  }

  void write(uint32_t adr, const std::vector<uint8_t>& bytes)
  {
    check_span(adr, bytes.size());
    write_confirmed(write_cmds(adr, bytes.data(), bytes.size()));
  }

  // A move of the named channels alone: every other channel is disabled for this one trigger,
  // so that the interpolator neither restarts it from its output toward a stale target nor
  // stops a move of its own; the enables are put back once the trigger has been taken.
  void move(const std::vector<target>& targets, int ticks)
  {
    if (ticks > ttime_max)
      throw out_of_range("one trigger takes at most 255 ticks");  // chained by the caller
    check_ticks(ticks);
    std::vector<uint8_t> want(channels, 0);
    for (auto& t : targets) {
      if (t.channel < 0 || t.channel >= channels)
        throw out_of_range("channel " + std::to_string(t.channel) + " out of range 0..127");
      if (want[static_cast<size_t>(t.channel)])
        throw out_of_range("channel " + std::to_string(t.channel) + " named twice");
      want[static_cast<size_t>(t.channel)] = 1;
    }
    if (targets.empty())
      return;
    std::vector<uint8_t> was = read(ip_enable, channels);
    std::string lines;
    if (was != want)
      lines += write_cmds(ip_enable, want.data(), want.size());
    for (auto& t : targets) {
      uint8_t v[2] = {static_cast<uint8_t>(t.value), static_cast<uint8_t>(t.value >> 8)};
      lines += write_cmds(ip_target + 2 * static_cast<uint32_t>(t.channel), v, 2);
    }
    uint8_t tt = static_cast<uint8_t>(ticks);
    lines += write_cmds(ttime, &tt, 1);  // on its own line, after the targets
    write_confirmed(lines);
    // The trigger is taken on the next pass; until then the enables must stay as they are.
    deadline e = end();
    while (read(ttime, 1)[0] != 0) {
      if (std::chrono::steady_clock::now() >= e) {
        uint8_t zero = 0;  // no pass came: withdraw the trigger before putting enables back
        write_confirmed(write_cmds(ttime, &zero, 1) +
                        (was != want ? write_cmds(ip_enable, was.data(), was.size()) : ""));
        throw timeout_error("the robot at " + robot + " did not start the move: timed out");
      }
      std::this_thread::sleep_for(1ms);
    }
    if (was != want)
      write(ip_enable, was);
    next_pass();
  }

  // Waits until a control-loop pass has ended after this call. The pass that clears ttime (or
  // ip_count) writes the outputs a moment later; once loop_count moves on, that pass is over.
  void next_pass()
  {
    auto before = read(loop_count, 4);
    deadline e = end();
    while (read(loop_count, 4) == before) {
      if (std::chrono::steady_clock::now() >= e)
        throw timeout_error("the control loop of " + robot + " does not run: timed out");
      std::this_thread::sleep_for(2ms);
    }
  }

  // The servos of `ids` outside the write list, refused.
  void check_listed(const std::vector<int>& ids)
  {
    auto b = read(wr_count, 31);
    std::vector<int> list, out;
    for (size_t i = 0; i < std::min<size_t>(b[0], 30); i++)
      list.push_back(b[1 + i]);
    for (int id : ids)
      if (std::find(list.begin(), list.end(), id) == list.end() &&
          std::find(out.begin(), out.end(), id) == out.end())
        out.push_back(id);
    if (!out.empty())
      throw not_in_write_list(out, list);
  }

  // Writes the request byte and waits for the daemon to close the line as it ends.
  void request_end(uint32_t adr, const char* what)
  {
    std::lock_guard<std::mutex> g(mu);
    guarded([&] {
      deadline e = end();
      uint8_t one = 1;
      c.send(write_cmds(adr, &one, 1), e);
      if (!c.wait_closed(e))
        throw timeout_error(std::string("the robot at ") + robot + " did not " + what +
                            ": timed out");
      return 0;
    });
  }
};

client::client(std::string_view robot, std::chrono::milliseconds timeout)
    : p_(std::make_unique<impl>())
{
  std::string r(robot);
  std::string host = r, port;
  bool has_port = false;
  if (!r.empty() && r[0] == '[') {  // [v6addr]:port
    size_t close = r.find(']');
    if (close == std::string::npos)
      throw connect_error("bad robot address '" + r + "'");
    host = r.substr(1, close - 1);
    if (close + 1 < r.size()) {
      if (r[close + 1] != ':')
        throw connect_error("bad robot address '" + r + "'");
      port = r.substr(close + 2);
      has_port = true;
    }
  } else if (std::count(r.begin(), r.end(), ':') == 1) {
    host = r.substr(0, r.find(':'));
    port = r.substr(r.find(':') + 1);
    has_port = true;
  }
  if (host.empty())
    host = "localhost";
  p_->port = default_port;
  if (has_port) {
    char* end = nullptr;
    long v = strtol(port.c_str(), &end, 10);
    if (port.empty() || *end || v < 1 || v > 65535)
      throw connect_error("bad port in robot address '" + r + "'");
    p_->port = static_cast<int>(v);
  }
  p_->host = host;
  p_->robot = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
              std::to_string(p_->port);
  p_->timeout = timeout;
  p_->open();
}

client::~client() = default;

const std::string& client::robot() const { return p_->robot; }

std::string client::banner() const
{
  std::lock_guard<std::mutex> g(p_->mu);
  return p_->banner;
}

bool client::connected() const
{
  std::lock_guard<std::mutex> g(p_->mu);
  return p_->c.fd >= 0;
}

void client::reconnect()
{
  std::lock_guard<std::mutex> g(p_->mu);
  p_->open();
}

void client::close()
{
  std::lock_guard<std::mutex> g(p_->mu);
  p_->c.close();
}

std::vector<uint8_t> client::read(uint32_t adr, uint32_t n)
{
  std::lock_guard<std::mutex> g(p_->mu);
  return p_->read(adr, n);
}

void client::write(uint32_t adr, const std::vector<uint8_t>& bytes)
{
  std::lock_guard<std::mutex> g(p_->mu);
  p_->write(adr, bytes);
}

int64_t client::get(std::string_view name, std::optional<int> index)
{
  field_ref r = resolve(name, index);
  if (r.f->type == field_type::text || r.f->type == field_type::bytes)
    throw out_of_range("'" + r.label + "' is not a number");
  std::lock_guard<std::mutex> g(p_->mu);
  auto b = p_->read(r.offset, r.f->width);
  return decode(*r.f, b.data());
}

void client::set(std::string_view name, int64_t value, std::optional<int> index,
                 write_list_check check)
{
  field_ref r = resolve(name, index);
  if (r.f->type == field_type::text || r.f->type == field_type::bytes)
    throw out_of_range("'" + r.label + "' is not a number");
  check_settable(r);
  check_value(r, value);
  std::lock_guard<std::mutex> g(p_->mu);
  if (check == write_list_check::on && r.f->name.rfind("servo.", 0) == 0)
    p_->check_listed({r.index});
  if (r.f->writer == field_writer::move)
    p_->move({{r.f->channel_of(r.index), static_cast<int16_t>(value)}}, 1);
  else
    p_->write(r.offset, encode(*r.f, value));
}

std::string client::get_text(std::string_view name)
{
  field_ref r = resolve(name);
  if (r.f->type != field_type::text)
    throw out_of_range("'" + r.label + "' is not text");
  std::lock_guard<std::mutex> g(p_->mu);
  auto b = p_->read(r.offset, r.f->width);
  return decode_text(*r.f, b.data());
}

void client::set_text(std::string_view name, std::string_view value)
{
  field_ref r = resolve(name);
  if (r.f->type != field_type::text)
    throw out_of_range("'" + r.label + "' is not text");
  check_settable(r);
  if (value.size() >= r.f->width || value.find('\0') != std::string_view::npos)
    throw out_of_range("text for '" + r.label + "' longer than " +
                       std::to_string(r.f->width - 1) + " bytes or holding a zero byte");
  std::vector<uint8_t> b(r.f->width, 0);  // the rest zeroed, so nothing of an older text shows
  std::copy(value.begin(), value.end(), b.begin());
  std::lock_guard<std::mutex> g(p_->mu);
  p_->write(r.offset, b);
}

std::vector<uint8_t> client::get_bytes(std::string_view name, std::optional<int> index)
{
  field_ref r = resolve(name, index);
  std::lock_guard<std::mutex> g(p_->mu);
  return p_->read(r.offset, r.f->width);
}

void client::set_bytes(std::string_view name, const std::vector<uint8_t>& value,
                       std::optional<int> index)
{
  field_ref r = resolve(name, index);
  check_settable(r);
  if (r.f->writer == field_writer::move)
    throw out_of_range("'" + r.label + "' is set by value, not by bytes");
  if (value.size() > r.f->width)
    throw out_of_range(std::to_string(value.size()) + " bytes for '" + r.label + "', which holds " +
                       std::to_string(r.f->width));
  std::lock_guard<std::mutex> g(p_->mu);
  p_->write(r.offset, value);
}

void client::move(const std::vector<std::pair<int, double>>& goals, int ticks,
                  write_list_check check)
{
  std::vector<target> t;
  std::vector<int> ids;
  for (auto& [id, deg] : goals) {
    check_servo(id);
    if (!(std::fabs(deg) <= degrees_max))  // NaN fails too
      throw out_of_range("goal " + std::to_string(deg) + " degrees for servo " +
                         std::to_string(id) + " out of range -150.0..150.0");
    t.push_back({id, to_units(deg)});
    ids.push_back(id);
  }
  check_ticks(ticks);
  if (check == write_list_check::on && !ids.empty()) {
    std::lock_guard<std::mutex> g(p_->mu);
    p_->check_listed(ids);
  }
  move_channels(t, ticks);
}

// A move longer than one trigger: parts along the straight line from the outputs the channels
// have now, each started once the one before has ended. The lock is let go between parts, as in
// wait_until_still, so other threads are not shut out for the whole move.
void client::move_channels(const std::vector<target>& targets, int ticks)
{
  check_ticks(ticks);
  if (ticks <= ttime_max) {
    std::lock_guard<std::mutex> g(p_->mu);
    p_->move(targets, ticks);
    return;
  }
  for (auto& t : targets)
    if (t.channel < 0 || t.channel >= channels)
      throw out_of_range("channel " + std::to_string(t.channel) + " out of range 0..127");
  if (targets.empty())
    return;
  int64_t tick_us = std::max<int64_t>(this->tick_us(), 100);
  auto out = read(0x0C00, 2 * channels);
  move_split s{ticks};
  for (int p = 1; p <= s.parts(); p++) {
    std::vector<target> part;
    part.reserve(targets.size());
    for (auto& t : targets) {
      auto ch = static_cast<size_t>(t.channel);
      auto from = static_cast<int16_t>(out[2 * ch] | out[2 * ch + 1] << 8);
      part.push_back({t.channel, s.target(from, t.value, p)});
    }
    int len = s.end_of(p) - s.end_of(p - 1);
    {
      std::lock_guard<std::mutex> g(p_->mu);
      p_->move(part, len);
    }
    if (p < s.parts())
      wait_part(targets.front().channel, tick_us);
  }
}

// Sleeps through most of a part, as ip_count says how many passes remain, and polls every
// eighth of a tick during the last one, so the next trigger lands before the following pass.
void client::wait_part(int ch, int64_t tick_us)
{
  using us = std::chrono::microseconds;
  us tick(tick_us);
  int last = -1;
  auto give_up = std::chrono::steady_clock::now() + std::max<us>(p_->timeout, 4 * tick);
  for (;;) {
    int left = read(ip_count + static_cast<uint32_t>(ch), 1)[0];
    if (left == 0)
      return;
    auto now = std::chrono::steady_clock::now();
    if (left != last) {
      last = left;
      give_up = now + std::max<us>(p_->timeout, 4 * tick);
    } else if (now >= give_up) {
      throw timeout_error("the move on " + p_->robot + " made no progress: timed out");
    }
    us nap = left > 1 ? tick * (left - 1) - tick / 2 : tick / 8;
    std::this_thread::sleep_for(std::clamp<us>(nap, 500us, 50ms));
  }
}

void client::wait_until_still(const std::vector<int>& chans, std::chrono::milliseconds stall)
{
  for (int ch : chans)
    if (ch < 0 || ch >= channels)
      throw out_of_range("channel " + std::to_string(ch) + " out of range 0..127");
  // Poll about twice a tick, never faster than every 5 ms nor slower than every 50 ms.
  int64_t period = tick_us();
  auto step = std::chrono::milliseconds(std::clamp<int64_t>(period / 2000, 5, 50));
  int last = -1;
  auto give_up = std::chrono::steady_clock::now() + stall;
  for (;;) {
    auto counts = read(ip_count, channels);
    int left = 0;
    for (int ch = 0; ch < channels; ch++)
      if (chans.empty() || std::find(chans.begin(), chans.end(), ch) != chans.end())
        left += counts[static_cast<size_t>(ch)];
    if (left == 0) {
      std::lock_guard<std::mutex> g(p_->mu);
      p_->next_pass();
      return;
    }
    auto now = std::chrono::steady_clock::now();
    if (left != last) {
      last = left;
      give_up = now + stall;
    } else if (now >= give_up) {
      throw timeout_error("the move on " + p_->robot + " made no progress: timed out");
    }
    std::this_thread::sleep_for(step);
  }
}

std::vector<int> client::wait_until_reached(const std::vector<int>& ids, double tolerance,
                                            std::chrono::milliseconds timeout)
{
  for (int id : ids)
    check_servo(id);
  if (!(tolerance >= 0 && tolerance <= 2 * degrees_max))
    throw out_of_range("tolerance " + deg_text(tolerance) + " degrees out of range 0..300");
  if (ids.empty())
    return {};
  wait_until_still(ids);
  int64_t period = tick_us();
  auto step = std::chrono::milliseconds(std::clamp<int64_t>(period / 2000, 5, 50));
  auto give_up = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto goal = read(0x0C02, 2 * servo_max);  // ip_out of channels 1..32
    auto pos = read(sv_pos, 2 * servo_max);
    std::vector<int> silent, away;
    std::string where;
    for (int id : ids) {
      auto i = static_cast<size_t>(id - 1);
      auto g = static_cast<int16_t>(goal[2 * i] | goal[2 * i + 1] << 8);
      auto v = static_cast<int16_t>(pos[2 * i] | pos[2 * i + 1] << 8);
      if (v == no_reading) {
        silent.push_back(id);
      } else if (std::abs(v - g) > std::lround(tolerance * 10)) {
        away.push_back(id);
        where += (where.empty() ? "" : ", ") + std::to_string(id) + " at " +
                 deg_text(to_degrees(v)) + " of " + deg_text(to_degrees(g));
      }
    }
    if (away.empty())
      return silent;
    if (std::chrono::steady_clock::now() >= give_up) {
      char secs[32];
      snprintf(secs, sizeof secs, "%.1f", std::chrono::duration<double>(timeout).count());
      throw not_reached(std::string(away.size() == 1 ? "servo " : "servos ") + id_list(away, ", ") +
                            " on " + p_->robot + " did not reach " +
                            (away.size() == 1 ? "its goal" : "their goals") + " within " + secs +
                            " s (tolerance " + deg_text(tolerance) + " degrees): " +
                            (away.size() == 1 ? where.substr(where.find(" at ") + 1) : where),
                        away);
    }
    std::this_thread::sleep_for(step);
  }
}

int32_t tick_us_of(int64_t tick_period)
{
  return tick_period >= 1 && tick_period <= tick_us_max ? static_cast<int32_t>(tick_period)
                                                        : tick_us_default;
}

int32_t client::tick_us()
{
  return tick_us_of(get("tick_period"));
}

int client::ticks_for(std::chrono::milliseconds duration)
{
  int64_t period = tick_us();
  // Past 2^40 ms every period gives more than move_ticks_max; the bound keeps the product exact.
  int64_t ms = std::clamp<int64_t>(duration.count(), 0, int64_t{1} << 40);
  int64_t t = (ms * 1000 + period / 2) / period;
  return static_cast<int>(std::clamp<int64_t>(t, 1, move_ticks_max));
}

void client::torque(bool on, const std::vector<int>& given, write_list_check check)
{
  for (int id : given)
    check_servo(id);
  if (check == write_list_check::on && !given.empty()) {
    std::lock_guard<std::mutex> g(p_->mu);
    p_->check_listed(given);
  }
  std::vector<int> ids = given.empty() ? write_list() : given;
  std::vector<target> t;
  for (int id : ids)
    if (id >= 1 && id <= servo_max)
      t.push_back({torque_channel + id, static_cast<int16_t>(on ? torque_on_value : 0)});
  std::lock_guard<std::mutex> g(p_->mu);
  if (on) {
    auto sw = p_->read(sv_torque_on, 2);
    if (sw[0] == 0 && sw[1] == 0)
      p_->write(sv_torque_on, {1, 0});
  }
  p_->move(t, 1);
}

std::vector<int> client::write_list()
{
  auto b = read(wr_count, 31);
  std::vector<int> ids;
  for (size_t i = 0; i < std::min<size_t>(b[0], 30); i++)
    ids.push_back(b[1 + i]);
  return ids;
}

std::optional<double> client::position(int id)
{
  check_servo(id);
  auto b = read(sv_pos + 2 * static_cast<uint32_t>(id - 1), 2);
  auto v = static_cast<int16_t>(b[0] | b[1] << 8);
  if (v == no_reading)
    return std::nullopt;
  return to_degrees(v);
}

std::array<bool, 5> client::switches()
{
  auto b = read(sw_in, 10);
  std::array<bool, 5> s{};
  for (size_t i = 0; i < s.size(); i++)
    s[i] = b[2 * i] || b[2 * i + 1];
  return s;
}

std::array<uint8_t, 16> client::leds()
{
  auto b = read(led_a, 32);
  std::array<uint8_t, 16> l{};
  for (size_t i = 0; i < l.size(); i++)
    l[i] = b[2 * i];
  return l;
}

void client::set_leds(const std::vector<std::pair<int, uint8_t>>& leds)
{
  std::vector<target> t;
  for (auto& [i, v] : leds) {
    if (i < 0 || i > 15)
      throw out_of_range("LED " + std::to_string(i) + " out of range 0..15");
    t.push_back({led_channel + i, v});
  }
  move_channels(t, 1);
}

void client::request_exit() { p_->request_end(exit_req, "end"); }

void client::request_poweroff() { p_->request_end(poweroff_req, "power off"); }

}  // namespace orvane
