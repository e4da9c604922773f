#include "bench/sys_table.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

struct row {
  std::string figure, value, target, ratio, verdict;
};
std::vector<row> rows;
int missed;

}  // namespace

std::string fmt(const char* f, ...)
{
  char buf[512];
  va_list ap;
  va_start(ap, f);
  vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  return buf;
}

void table_row(const std::string& figure, const std::string& value, double ratio, bool at_least,
               double limit, const std::string& ratio_of)
{
  bool met = at_least ? ratio >= limit : ratio <= limit;
  missed += !met;
  rows.push_back({figure, value, fmt("%s %s %g", ratio_of.c_str(), at_least ? "≥" : "≤", limit),
                  fmt("%.4g", ratio), met ? "met" : "**missed**"});
}

void table_info(const std::string& figure, const std::string& value)
{
  rows.push_back({figure, value, "", "", ""});
}

int table_missed() { return missed; }

void table_print()
{
  printf("| Figure | Measured | Target (ratio) | Ratio | |\n|---|---|---|---|---|\n");
  for (const row& r : rows)
    printf("| %s | %s | %s | %s | %s |\n", r.figure.c_str(), r.value.c_str(), r.target.c_str(),
           r.ratio.c_str(), r.verdict.c_str());
  fflush(stdout);
}
