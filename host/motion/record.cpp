#include "host/motion/record.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace orvane::motion {

using clk = std::chrono::steady_clock;

namespace {

// One read of the map per span; fields closer than this share a read, as a dump line of a few
// more bytes costs less than another round trip.
constexpr uint32_t SPAN_JOIN = 48;

struct span {
  uint32_t adr, n;
};

std::vector<span> spans_for(std::vector<uint32_t> need)  // pairs of offset, end
{
  std::vector<span> s;
  for (size_t i = 0; i + 1 < need.size(); i += 2) {
    uint32_t a = need[i], e = need[i + 1];
    if (!s.empty() && a <= s.back().adr + s.back().n + SPAN_JOIN)
      s.back().n = std::max(s.back().n, e - s.back().adr);
    else
      s.push_back({a, e - a});
  }
  return s;
}

rec_column column(const field_ref& r)
{
  return {r.label, r, r.f->unit == "0.1deg"};
}

}  // namespace

std::vector<rec_column> record_columns(client& c, const std::vector<std::string>& names)
{
  std::vector<rec_column> cols;
  if (names.empty()) {
    for (int id : c.write_list()) {
      if (id < 1 || id > servo_max)
        continue;
      cols.push_back(column(resolve("servo.#.goal", id)));
      cols.push_back(column(resolve("sv_pos", id)));
    }
    for (int i = 0; i < 5; i++)
      cols.push_back(column(resolve("sw_in", i)));
    return cols;
  }
  for (const std::string& n : names) {
    const field* f = find_field(n);
    if (!f)
      f = find_field(n + ".#");  // led.a: every LED of board A
    if (f && f->indexed() && f->type != field_type::text && f->type != field_type::bytes) {
      for (int i = f->first; i <= f->last(); i++)
        cols.push_back(column(resolve(f->name, i)));
    } else {
      field_ref r = resolve(n);
      if (r.f->type == field_type::text || r.f->type == field_type::bytes)
        throw out_of_range("'" + r.label + "' is not a number; record takes numeric fields");
      cols.push_back(column(r));
    }
  }
  return cols;
}

record_result record_passes(client& c, const std::vector<std::pair<uint32_t, uint32_t>>& ranges,
                            double seconds, const std::atomic<bool>* stop,
                            const std::function<bool(const rec_pass&)>& on_pass)
{
  field_ref lc = resolve("loop_count");
  std::vector<std::pair<uint32_t, uint32_t>> need{{lc.offset, lc.offset + lc.f->width}};
  for (auto [adr, n] : ranges)
    need.emplace_back(adr, adr + n);
  std::sort(need.begin(), need.end());
  std::vector<uint32_t> flat;
  for (auto [a, e] : need) {
    flat.push_back(a);
    flat.push_back(e);
  }
  std::vector<span> spans = spans_for(flat);

  std::vector<uint8_t> img(map_size);
  auto tick = std::chrono::microseconds(std::max<int64_t>(c.tick_us(), 1000));
  record_result r;
  auto start = clk::now();
  auto end = start + std::chrono::duration_cast<clk::duration>(std::chrono::duration<double>(seconds));
  auto next = start;
  bool have = false;
  uint32_t prev = 0;
  while (clk::now() < end && !(stop && stop->load())) {
    std::this_thread::sleep_until(next);
    auto at = clk::now();
    // A row is several reads, and one that a pass fell between mixes two passes (a goal a pass
    // ahead of its loop_count, 2.5 degrees on a sweep): read again until loop_count is the same
    // after the reads as in them, three times at most.
    for (int tries = 0; tries < 3; tries++) {
      for (const span& s : spans) {
        auto b = c.read(s.adr, s.n);
        std::copy(b.begin(), b.end(), img.begin() + s.adr);
      }
      auto after = c.read(lc.offset, lc.f->width);
      if (std::equal(after.begin(), after.end(), img.begin() + lc.offset))
        break;
    }
    r.polls++;
    // Never two polls in one tick: a poll that came late moves the schedule, it does not catch up.
    next += tick;
    if (next < clk::now())
      next = clk::now() + tick;
    auto count = static_cast<uint32_t>(decode(*lc.f, &img[lc.offset]));
    if (have && count == prev) {
      // This poll came before the pass it waited for: move later in the tick, where the poll
      // falls between passes.
      next += tick / 3;
      continue;
    }
    uint32_t gap = have ? count - prev - 1 : 0;
    if (gap) {
      r.missed += gap;
      r.gaps++;
    }
    if (!have)
      r.first = count;
    have = true;
    prev = r.last = count;
    r.rows++;
    if (!on_pass({img, count, gap, std::chrono::duration<double>(at - start).count()}))
      break;
  }
  return r;
}

record_result record(client& c, const std::vector<rec_column>& cols, double seconds,
                     std::ostream& out, const std::atomic<bool>* stop)
{
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  ranges.reserve(cols.size());
  for (const rec_column& col : cols)
    ranges.emplace_back(col.ref.offset, col.ref.f->width);
  // A position is written only while the reading rule says it is one: that needs the groups,
  // the traffic switch and every position word (a silent servo stops the rest of its group).
  const field* groups = find_field("rd_group");
  field_ref comm = resolve("sv_comm_on"), pos1 = resolve("sv_pos", 1);
  bool positions = std::any_of(cols.begin(), cols.end(), [](const rec_column& col) { return col.ref.f->name == "sv_pos"; });
  if (positions) {
    ranges.emplace_back(groups->offset, groups->count * groups->stride);
    ranges.emplace_back(comm.offset, comm.f->width);
    ranges.emplace_back(pos1.offset, 2 * servo_max);
  }

  out << "time_s,loop_count,gap";
  for (const rec_column& col : cols)
    out << ',' << col.label;
  out << '\n';
  out.flush();  // a reader of the file sees that the recording has begun

  std::vector<size_t> empty(cols.size(), 0);
  std::vector<reading_info> why(cols.size());
  char buf[64];
  read_groups g;
  std::vector<int16_t> words;
  record_result r = record_passes(c, ranges, seconds, stop, [&](const rec_pass& p) {
    snprintf(buf, sizeof buf, "%.4f,%u,%u", p.t, p.count, p.gap);
    out << buf;
    bool comm_on = true;
    if (positions) {
      g = groups_decode(std::vector<uint8_t>(p.img.begin() + groups->offset,
                                             p.img.begin() + groups->offset +
                                                 static_cast<ptrdiff_t>(groups->count) * groups->stride));
      comm_on = decode(*comm.f, &p.img[comm.offset]) != 0;
      words.clear();
      for (int id = 1; id <= servo_max; id++)
        words.push_back(static_cast<int16_t>(decode(*pos1.f, &p.img[pos1.f->offset_of(id)])));
    }
    for (size_t i = 0; i < cols.size(); i++) {
      const rec_column& col = cols[i];
      int64_t v = decode(*col.ref.f, &p.img[col.ref.offset]);
      out << ',';
      if (col.ref.f->name == "sv_pos") {
        reading_info w = reading_of(g, words, col.ref.index, comm_on);
        if (w.state != reading_state::valid) {  // never a number that was not read
          empty[i]++;
          why[i] = w;
          continue;
        }
      }
      if (!col.degrees) {
        out << v;
      } else {
        snprintf(buf, sizeof buf, "%.1f", static_cast<double>(v) / 10.0);
        out << buf;
      }
    }
    out << '\n';
    return true;
  });
  r.empty = std::move(empty);
  r.why = std::move(why);
  out.flush();
  return r;
}

}  // namespace orvane::motion
