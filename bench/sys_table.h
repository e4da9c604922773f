// The system benchmark's report: rows of figure, measured value, target and ratio, printed as a
// Markdown table so that a run can be pasted as it is. Owned by the driver's one thread.
#pragma once

#include <string>

// A row with a target: `ratio` is compared with `limit` (at least it when `at_least`, else at
// most it) to say whether the target is met.
void table_row(const std::string& figure, const std::string& value, double ratio, bool at_least,
               double limit, const std::string& ratio_of);
// A row that only reports.
void table_info(const std::string& figure, const std::string& value);
void table_print();
int table_missed();  // targets missed so far
std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
