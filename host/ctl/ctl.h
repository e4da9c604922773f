// orvane-ctl's shared pieces: the context a verb runs in, the registration of verbs, and the
// output helpers. Single-threaded: the program's one thread owns all of it.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "orvane.h"
#include "orvane_model.h"

// A mistake in how the tool was called, found after parsing: exit status 2, with the usage line.
struct usage_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ctl {
  std::string robot = "localhost:6498";  // -r/--robot, or ORVANE_ROBOT
  double timeout = 3.0;                  // seconds for the connection and every answer
  bool tty = false;                      // standard output is a terminal
  bool json = false;                     // -o json: one JSON document on standard output
  std::string profile_path;              // -p/--profile, or ORVANE_PROFILE; empty: servo ids
  bool anyway = false;                   // --anyway: past the limits and the write list, said
  std::function<void()> run;             // the verb chosen on the command line
  std::map<const CLI::App*, std::string> usage;  // usage line of each verb

  // Connects on first use, holding every write to the robot model (and past it with --anyway).
  orvane::client& client();
  const orvane::robot_model& profile();  // loads on first use; servo ids when none
 private:
  std::unique_ptr<orvane::client> client_;
  std::shared_ptr<const orvane::robot_model> profile_;
};

// Adds a verb with its one-line help and usage ("get NAME[.INDEX]..."); `run` is what it does.
CLI::App* ctl_verb(CLI::App& app, ctl& c, const char* name, const char* help, const char* usage,
                   std::function<void()> run);

// Integer from decimal or 0x-prefixed hexadecimal text; usage_error if it is not one.
int64_t ctl_int(const std::string& text, const std::string& what);
double ctl_double(const std::string& text, const std::string& what);
void ctl_warn(const std::string& text);  // "orvane-ctl: warning: ..." on standard error
void ctl_note(const std::string& text);  // "orvane-ctl: ..." on standard error
void ctl_json(const nlohmann::json& j);  // the document, indented on a terminal

// Servo ids from "1-6", "1,3,5-7", or (with a profile) joint names; each id 1..32, in order,
// once. usage_error for a malformed range, unknown_joint for a name the profile lacks.
std::vector<int> ctl_ids(ctl& c, const std::vector<std::string>& args);
// The profile's joint of a servo id, or nullptr (always nullptr without a profile).
const orvane::joint* ctl_joint(ctl& c, int id);
// "servo 3 (elbow)", or "servo 3" without a joint.
std::string ctl_servo(ctl& c, int id);
// What to tell a user about a servo without a reading: why, and what to do about it.
std::string ctl_reading_hint(ctl& c, const orvane::reading_info& r, int id);
// --deg applies to fields in 0.1 degrees only; usage_error for any other (get, watch and set).
void ctl_check_deg(const orvane::field_ref& r);

// A validator for a number option from lo to hi whose failure reads in our words
// ("--timeout: 0.05 is out of range 0.1..3600"); `whole` refuses fractions.
CLI::Validator ctl_range(double lo, double hi, bool whole = false);
// A parse error of CLI11 in orvane-ctl's words; `verb` is the deepest verb reached (or app).
std::string ctl_parse_message(const CLI::App& app, const CLI::App& verb, const CLI::ParseError& e);
// "cannot write PATH: No such file or directory" (the reason left out when err is 0).
std::string ctl_file_error(const std::string& what, const std::string& path, int err);
