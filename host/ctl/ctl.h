// orvane-ctl's shared pieces: the context a verb runs in, the registration of verbs, and the
// output helpers. Single-threaded: the program's one thread owns all of it.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "orvane.h"

// A mistake in how the tool was called, found after parsing: exit status 2, with the usage line.
struct usage_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ctl {
  std::string robot = "localhost:6498";  // -r/--robot, or ORVANE_ROBOT
  double timeout = 3.0;                  // seconds for the connection and every answer
  bool tty = false;                      // standard output is a terminal
  std::function<void()> run;             // the verb chosen on the command line
  std::map<const CLI::App*, std::string> usage;  // usage line of each verb

  orvane::client& client();  // connects on first use
 private:
  std::unique_ptr<orvane::client> client_;
};

// Adds a verb with its one-line help and usage ("get NAME[.INDEX]..."); `run` is what it does.
CLI::App* ctl_verb(CLI::App& app, ctl& c, const char* name, const char* help, const char* usage,
                   std::function<void()> run);

// A value as get prints it: decimal, "none" for no reading, degrees with one decimal on request.
std::string ctl_value(const orvane::field_ref& r, int64_t v, bool degrees);
// Integer from decimal or 0x-prefixed hexadecimal text; usage_error if it is not one.
int64_t ctl_int(const std::string& text, const std::string& what);
double ctl_double(const std::string& text, const std::string& what);
void ctl_warn(const std::string& text);
// --deg applies to fields in 0.1 degrees only; usage_error for any other (get, watch and set).
void ctl_check_deg(const orvane::field_ref& r);

// A validator for a number option from lo to hi whose failure reads in our words
// ("--timeout: 0.05 is out of range 0.1..3600"); `whole` refuses fractions.
CLI::Validator ctl_range(double lo, double hi, bool whole = false);
// A parse error of CLI11 in orvane-ctl's words; `verb` is the deepest verb reached (or app).
std::string ctl_parse_message(const CLI::App& app, const CLI::App& verb, const CLI::ParseError& e);
// "cannot write PATH: No such file or directory" (the reason left out when err is 0).
std::string ctl_file_error(const std::string& what, const std::string& path, int err);  // "orvane-ctl: warning: ..." on standard error
