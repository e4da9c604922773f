#include "host/mirror/record.h"

#include "host/mirror/rules.h"
#include "orvane.h"

namespace orvane::mirror {

namespace {

void cell(FILE* f, int16_t units, bool reading)
{
  if (reading && units != no_reading && units != not_read_yet)
    fprintf(f, ",%.1f", units / 10.0);
  else
    fputc(',', f);
}

}  // namespace

csv_recorder::csv_recorder(FILE* f, const std::vector<pair>& pairs) : f_(f), pairs_(pairs)
{
  fputs("time_s,loop_count,gap", f_);
  for (const pair& p : pairs_)
    fprintf(f_, ",servo.%d.goal,sv_pos.%d", p.follower.id, p.follower.id);
  for (const pair& p : pairs_)
    fprintf(f_, ",leader.sv_pos.%d", p.leader.id);
  fputc('\n', f_);
  fflush(f_);  // a reader of the file sees that the recording has begun
}

void csv_recorder::row(const sample& s)
{
  if (t0_ < 0)
    t0_ = s.t;
  if (rows_ > 0)
    missed_ += s.missed;
  fprintf(f_, "%.4f,%u,%u", s.t - t0_, s.pass, rows_ > 0 ? s.missed : 0);
  for (const pair& p : pairs_) {
    cell(f_, s.goal[p.follower.id], true);
    cell(f_, s.fpos[p.follower.id - 1], true);
  }
  for (size_t k = 0; k < pairs_.size(); k++)
    cell(f_, s.lpos[pairs_[k].leader.id - 1], s.lvalid[k]);
  fputc('\n', f_);
  rows_++;
}

}  // namespace orvane::mirror
