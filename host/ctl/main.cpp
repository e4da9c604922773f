// orvane-ctl: the robot's map by name from a shell. Exit status 0 when it worked, 2 for a usage
// error (with the usage line), 1 for anything else (with one line on standard error).
#include <unistd.h>

#include <cstdio>
#include <set>

#include "orvane_version.h"
#include "verbs.h"

namespace {

// The deepest verb the command line reached, for its usage line.
const CLI::App* chosen(const CLI::App& app)
{
  const CLI::App* a = &app;
  while (!a->get_subcommands().empty())
    a = a->get_subcommands().front();
  return a;
}

int usage_failure(const ctl& c, const CLI::App& app, const std::string& why)
{
  fprintf(stderr, "orvane-ctl: %s\n", why.c_str());
  auto u = c.usage.find(chosen(app));
  fprintf(stderr, "usage: orvane-ctl [-r HOST[:PORT]] [-p PROFILE] %s\n",
          u == c.usage.end() ? "VERB [ARGS...]   (orvane-ctl --help lists the verbs)"
                             : u->second.c_str());
  return 2;
}

int run(int argc, char** argv)
{
  ctl c;
  c.tty = isatty(STDOUT_FILENO);
  CLI::App app("Reads and writes the memory map of an orvane robot by field name.", "orvane-ctl");
  app.add_option("-r,--robot", c.robot, "robot as HOST[:PORT] (default localhost:6498)")
      ->envname("ORVANE_ROBOT")
      ->type_name("HOST[:PORT]");
  app.add_option("-t,--timeout", c.timeout, "seconds to wait for the robot (default 3)")
      ->check(ctl_range(0.1, 3600.0));
  std::string output = "text";
  app.add_option("-o,--output", output, "output format: text (default) or json, for info, scan, "
                 "get, switches and fields")
      ->check(CLI::Validator(
          [](std::string& s) { return s == "text" || s == "json" ? "" : "'" + s + "' is not text or json"; },
          "text|json"))
      ->type_name("FORMAT");
  app.add_option("-p,--profile", c.profile_path,
                 "robot profile (robot.yaml): joint names and degrees for every verb, and the "
                 "soft limits every goal is held to")
      ->envname("ORVANE_PROFILE")
      ->type_name("FILE");
  app.add_flag("--anyway", c.anyway,
               "send what the joints' limits, the servos' range, the write list or a motion "
               "still playing would refuse, and say what was skipped");
  // Global options are taken anywhere on the line, after the verb too, as users type them.
  app.fallthrough();
  app.set_version_flag("--version", "orvane-ctl (orvane) " ORVANE_VERSION);
  app.require_subcommand(1);
  app.footer("Environment: ORVANE_ROBOT gives the robot when -r is not used, ORVANE_PROFILE\n"
             "the profile when --profile is not.\n"
             "Exit status: 0 done, 1 failed, 2 usage error.");
#define CTL_ADD_GROUP(g) ctl_##g##_verbs(app, c);
  CTL_VERB_GROUPS(CTL_ADD_GROUP)
#undef CTL_ADD_GROUP

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return usage_failure(c, app, ctl_parse_message(app, *chosen(app), e));
  }
  c.json = output == "json";
  if (c.json) {
    static const std::set<std::string> speak_json = {"info", "scan", "get", "switches", "fields"};
    if (!speak_json.count(chosen(app)->get_name()))
      return usage_failure(c, app, "-o json is for info, scan, get, switches and fields, not " +
                                       chosen(app)->get_name());
  }
  try {
    c.run();
    fflush(stdout);
    return ferror(stdout) ? 1 : 0;
  } catch (const usage_error& e) {
    return usage_failure(c, app, e.what());
  } catch (const orvane::not_in_write_list& e) {
    fprintf(stderr, "orvane-ctl: %s; --anyway sends it all the same\n", e.what());
    return 1;
  } catch (const orvane::beyond_limits& e) {
    for (size_t i = 0; i + 1 < e.refusals.size(); i++)
      fprintf(stderr, "orvane-ctl: %s\n", e.refusals[i].c_str());
    fprintf(stderr, "orvane-ctl: %s; nothing was sent (--anyway sends it all the same)\n",
            e.refusals.empty() ? e.what() : e.refusals.back().c_str());
    return 1;
  } catch (const orvane::error& e) {
    fprintf(stderr, "orvane-ctl: %s\n", e.what());
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv)
{
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {  // not the robot's: out of memory, a fault of the tool
    fprintf(stderr, "orvane-ctl: %s\n", e.what());
  } catch (...) {
    fprintf(stderr, "orvane-ctl: unexpected failure\n");
  }
  return 1;
}
