// Verbs that work with motions: play, teach and record. The work is done by the motion library
// (host/motion/); these functions read the options, say what happens, and turn Ctrl-C into the
// library's stop flag.
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "host/motion/limits.h"
#include "host/motion/play.h"
#include "host/motion/preview.h"
#include "host/motion/record.h"
#include "host/motion/simplify.h"
#include "host/motion/yaml_util.h"
#include "host/motion/teach.h"
#include "recording.h"
#include "verbs.h"

namespace mo = orvane::motion;

namespace {

// Set by SIGINT and SIGTERM while a motion verb runs; the verb stops at its next look.
std::atomic<bool> interrupted{false};

void on_interrupt(int) { interrupted = true; }

// Ctrl-C sets the flag instead of ending the process, so that every verb can put the robot
// back as it promised. No SA_RESTART: a wait on standard input returns at once.
void catch_interrupt()
{
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

// A file's errors, each on a line of its own, then the one line that main prints.
[[noreturn]] void refuse(const mo::mo_errors& e, const std::string& what)
{
  for (const auto& l : e.list)
    fprintf(stderr, "orvane-ctl: %s\n", l.c_str());
  size_t n = e.list.size();
  throw orvane::error(what + ": " + std::to_string(n) + (n == 1 ? " problem" : " problems") +
                      "; nothing was sent");
}

// Writes a whole file under a temporary name first, so that a failure leaves the old one intact.
void write_file(const std::string& path, const std::string& text)
{
  std::string tmp = path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "wb");
  if (!f)
    throw orvane::error(ctl_file_error("cannot write", tmp, errno));
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  int err = errno;
  if (fclose(f) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlink(tmp.c_str());
    throw orvane::error(ctl_file_error("cannot write", tmp, err));
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    err = errno;
    unlink(tmp.c_str());
    throw orvane::error(ctl_file_error("cannot write", path, err));
  }
}

struct play_args {
  std::string file;
  double speed = 1.0;
  unsigned repeat = 0;
  bool dry_run = false;
  bool fit = false;
  bool offline = false;
  unsigned seg = mo::MO_SEG_TICKS;
  std::string plot, curve;
  std::string ease;  // overrides every keyframe's
};

// Draws the planned curve with orvane.plot, under Debian's own Python (it has matplotlib).
void draw(const std::string& csv, const std::string& png, const std::string& title)
{
  std::string path = ORVANE_PYTHON_DIR;
  if (const char* had = getenv("PYTHONPATH"); had && *had)
    path += std::string(":") + had;
  setenv("PYTHONPATH", path.c_str(), 1);
  const char* py = getenv("ORVANE_PYTHON") ? getenv("ORVANE_PYTHON") : "/usr/bin/python3";
  std::vector<std::string> args = {py, "-m", "orvane.plot", csv, "-o", png, "--title", title};
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& s : args)
    argv.push_back(s.data());
  argv.push_back(nullptr);
  fflush(stdout);
  pid_t pid;
  int st = 0;
  if (posix_spawn(&pid, py, nullptr, nullptr, argv.data(), environ) != 0)
    throw orvane::error(std::string("cannot run ") + py + " for the plot");
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(st) || WEXITSTATUS(st) != 0)
    throw orvane::error("the plot was not drawn (see above)");
}

void dry_run(const mo::motion& m, const mo::profile& p, const mo::plan_opts& po, const mo::mo_outputs& start,
             const play_args& a)
{
  std::vector<mo::mo_move> moves = mo::plan(m, po, start);
  bool quiet = !a.plot.empty() || !a.curve.empty();
  FILE* say = a.curve == "-" ? stderr : stdout;
  if (!quiet)
    for (const mo::mo_move& mv : moves)
      printf("%s\n", mo::move_line(m, mv).c_str());
  if (!a.curve.empty()) {
    std::string csv = mo::preview_csv(m, p, po, start);
    if (a.curve == "-")
      fwrite(csv.data(), 1, csv.size(), stdout);
    else
      write_file(a.curve, csv);
  }
  if (!a.plot.empty()) {
    char tmp[] = "/tmp/orvane-plan-XXXXXX.csv";
    int fd = mkstemps(tmp, 4);
    if (fd < 0)
      throw orvane::error("cannot write a temporary file in /tmp");
    close(fd);
    try {
      write_file(tmp, mo::preview_csv(m, p, po, start));
      draw(tmp, a.plot, a.file);
    } catch (...) {
      unlink(tmp);
      throw;
    }
    unlink(tmp);
  }
  unsigned ticks = mo::plan_ticks(moves);
  fprintf(say, "%zu moves, %u ticks, %.2f s at %d us a tick; nothing sent\n", moves.size(), ticks,
          ticks * (po.tick_us / 1e6), po.tick_us);
}

void play(ctl& c, const play_args& a)
{
  if (!a.dry_run && (a.offline || !a.plot.empty() || !a.curve.empty()))
    throw usage_error("--offline, --plot and --curve go with --dry-run");
  const mo::profile& p = c.profile();
  mo::motion m;
  try {
    m = mo::motion_load(a.file, p);
  } catch (const mo::mo_errors& e) {
    refuse(e, a.file);
  }
  if (!a.ease.empty()) {
    m.ease = a.ease == "smooth" ? mo::mo_ease::smooth : a.ease == "spline" ? mo::mo_ease::spline : mo::mo_ease::linear;
    for (mo::keyframe& k : m.frames)
      k.ease = m.ease;
  }
  mo::play_opts o;
  o.speed = a.speed;
  o.repeat = a.repeat;
  o.seg = a.seg;
  o.stop = &interrupted;
  try {
    // Where the plan starts: the robot's period and outputs, or 16667 us and 0 without one.
    mo::plan_opts po{16667, a.speed, a.repeat, a.seg};
    mo::mo_outputs start{};
    if (!a.offline) {
      try {
        po.tick_us = c.client().tick_us();
        start = mo::play_outputs(c.client());
      } catch (const orvane::connect_error& e) {
        if (!a.dry_run)
          throw;
        ctl_warn(std::string(e.what()) + "; planning from outputs 0 at 16667 us a tick");
      }
    }
    if (a.fit) {
      for (const auto& l : mo::limit_fit(m, p, po, start))
        fprintf(stderr, "orvane-ctl: %s\n", l.c_str());
    } else {
      try {
        mo::limit_check(m, p, po, start);
      } catch (const mo::mo_errors& e) {
        for (const auto& l : e.list)
          fprintf(stderr, "orvane-ctl: %s\n", l.c_str());
        throw orvane::error(a.file + ": too fast for the joints' limits in " + p.file +
                            "; nothing was sent (--fit stretches those keyframes)");
      }
    }
    if (a.dry_run)
      return dry_run(m, p, po, start, a);
    // One player at a time: channels still moving belong to another move or motion.
    if (std::vector<int> busy = mo::play_moving(c.client(), m); !busy.empty()) {
      std::string who;
      for (int ch : busy)
        who += (who.empty() ? "" : ", ") + mo::ch_name(static_cast<unsigned>(ch));
      std::string why = who + (busy.size() == 1 ? " is" : " are") +
                        " still moving: another move or motion drives the servos this one would";
      if (!c.anyway)
        throw orvane::error(why + "; wait for it, stop it, or give --anyway");
      ctl_note("--anyway: playing although " + why);
    }
    for (const auto& w : mo::play_warnings(c.client(), m))
      ctl_warn(w);
    catch_interrupt();
    mo::play_result r = mo::play(c.client(), m, o);
    if (r.stopped)
      throw orvane::error("interrupted: stopped after " + std::to_string(r.moves) + " of " +
                          std::to_string(r.planned) + " moves, the servos held where they were");
    std::string late;
    if (r.late)
      late = " (" + std::to_string(r.late) + " started late and shortened" +
             (r.skipped ? ", " + std::to_string(r.skipped) + " of them left out" : "") + ")";
    printf("played %s: %zu moves, %u ticks planned, %u passes%s\n", a.file.c_str(), r.moves, r.ticks,
           r.passes, late.c_str());
  } catch (const mo::mo_errors& e) {
    refuse(e, a.file);
  }
}

struct teach_args {
  std::string file;
  std::vector<std::string> joints;
  int ms = 500;
  int on_switch = -1;
};

std::vector<const mo::joint*> teach_joints(ctl& c, const mo::profile& p, const teach_args& a)
{
  std::vector<const mo::joint*> js;
  std::vector<std::string> names = a.joints;
  if (names.empty() && !p.profiled())
    for (int id : c.client().write_list())
      if (id >= 1 && id <= mo::MO_MAX_ID)
        names.push_back(std::to_string(id));
  if (names.empty())
    for (const auto& j : p.joints)
      js.push_back(&j);
  for (const auto& n : names) {
    const mo::joint* j = p.find(n);
    if (!j)
      throw orvane::unknown_joint(n, p.profiled() ? "no such joint '" + n + "' (joints: " + p.names() + ")"
                                                  : "no joint '" + n + "' (servo ids 1..32 without a profile)");
    if (std::find(js.begin(), js.end(), j) == js.end())
      js.push_back(j);
  }
  if (js.empty())
    throw usage_error("no joints to teach");
  return js;
}

// Takes a keyframe and says what it holds, or why it holds less than asked.
void teach_take(mo::teach_session& s)
{
  size_t before = s.count();
  for (const auto& n : s.capture())
    ctl_warn(n);
  if (s.count() > before) {
    const mo::keyframe& k = s.taught().frames.back();
    std::string line = "keyframe " + std::to_string(s.count()) + ":";
    for (const auto& [name, deg] : k.pose)
      line += " " + name + "=" + mo::fmt_deg(deg);
    printf("%s\n", line.c_str());
  }
  fflush(stdout);
}

// Lines typed on standard input, without blanks, taken as they come; never blocks longer than
// the wait asked for, so that teach can look at its switch and at Ctrl-C in between.
struct key_lines {
  bool open = true;  // false once standard input has ended
  std::string buf;

  void wait(int ms)
  {
    pollfd pf{STDIN_FILENO, POLLIN, 0};
    if (poll(&pf, open ? 1 : 0, ms) <= 0)
      return;
    char chunk[256];
    ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
    if (n > 0) {
      buf.append(chunk, static_cast<size_t>(n));
      return;
    }
    open = false;
    if (!buf.empty())
      buf += '\n';  // a last line without its line end still counts
  }

  std::optional<std::string> next()
  {
    size_t nl = buf.find('\n');
    if (nl == std::string::npos)
      return std::nullopt;
    std::string cmd = buf.substr(0, nl);
    buf.erase(0, nl + 1);
    std::erase_if(cmd, [](char ch) { return ch == ' ' || ch == '\r' || ch == '\t'; });
    return cmd;
  }
};

void teach(ctl& c, const teach_args& a)
{
  const mo::profile& p = c.profile();
  auto& cl = c.client();
  std::vector<const mo::joint*> js = teach_joints(c, p, a);
  catch_interrupt();
  mo::teach_session s(cl, p, js, a.ms);
  s.begin();
  std::string names;
  for (const mo::joint* j : js)
    names += " " + j->name;
  printf("teaching%s: torque off, move the robot by hand\n", names.c_str());
  printf("Enter: take a keyframe%s, u: undo the last, q: write %s and quit\n",
         a.on_switch >= 0 ? (" (or close switch " + std::to_string(a.on_switch) + ")").c_str() : "",
         a.file.c_str());
  fflush(stdout);

  bool quit = false;
  int64_t was_closed = a.on_switch >= 0 ? cl.get("sw_in", a.on_switch) : 0;
  key_lines keys;
  while (!quit && !interrupted) {
    // The switch is looked at about once a tick or two; the keyboard wakes the wait at once.
    keys.wait(a.on_switch >= 0 ? 20 : 100);
    while (!quit) {
      std::optional<std::string> cmd = keys.next();
      if (!cmd)
        break;
      if (cmd->empty())
        teach_take(s);
      else if (*cmd == "u" && s.undo())
        printf("undone: %zu keyframe%s left\n", s.count(), s.count() == 1 ? "" : "s");
      else if (*cmd == "u")
        printf("nothing to undo\n");
      else if (*cmd == "q")
        quit = true;
      else
        printf("Enter: take a keyframe, u: undo the last, q: write %s and quit\n", a.file.c_str());
      fflush(stdout);
    }
    // At the end of input the switch (or Ctrl-C) carries on alone; with no switch it is a q.
    if (!keys.open && a.on_switch < 0)
      quit = true;
    if (a.on_switch >= 0 && !quit && !interrupted) {
      int64_t closed = cl.get("sw_in", a.on_switch);
      if (closed && !was_closed)
        teach_take(s);
      was_closed = closed;
    }
  }
  s.end();
  printf("read groups and torque put back as they were\n");
  if (s.count() == 0) {
    printf("no keyframes taken; %s not written\n", a.file.c_str());
    return;
  }
  // Ctrl-C keeps what was taught too: without a keyboard it is the only way to end.
  mo::motion m = s.taught();
  write_file(a.file, "# taught with orvane-ctl teach" + (p.profiled() ? " --profile " + p.file : "") +
                         "\n" + mo::motion_text(m));
  printf("wrote %s: %zu keyframe%s\n", a.file.c_str(), s.count(), s.count() == 1 ? "" : "s");
}

struct record_args {
  double seconds = 0;
  std::vector<std::string> fields;
  std::string file;
  std::string play;    // MCAP: also play this motion, and record until it has ended
  std::string motion;  // --motion: also turn the recording into this motion file
  double tolerance = 1.0;
};

struct r2m_args {
  std::string csv, out;
  double tolerance = 1.0;
  double lead_ms = 1000;
};

// Turns a recording into a motion file and says how many keyframes it took and how close their
// curve keeps to the recording.
void to_motion(ctl& c, const std::string& csv, const std::string& out, double tol, double lead)
{
  const mo::profile& p = c.profile();
  std::vector<std::string> notes;
  mo::recorded_motion r;
  try {
    r = mo::recording_motion(ctl_recording_csv(csv), csv, p, {tol, lead, mo::MO_SEG_TICKS}, notes);
    std::string text = "# from the recording " + csv + " with orvane-ctl, within " + mo::fmt_deg(tol) +
                       " degrees\n" + mo::motion_text(r.m);
    mo::motion_parse(text, out, p);  // what is written must play
    for (const auto& n : notes)
      ctl_warn(n);
    write_file(out, text);
  } catch (const mo::mo_errors& e) {
    for (const auto& l : e.list)
      fprintf(stderr, "orvane-ctl: %s\n", l.c_str());
    throw orvane::error(out + " not written");
  }
  if (r.worst > tol)
    ctl_warn("the keyframes pass " + mo::fmt_deg(r.worst) + " degrees from the recording where it turns faster than " +
             std::to_string(mo::MO_SEG_TICKS) + " ticks can follow");
  size_t n = r.m.frames.size();
  printf("wrote %s: %zu keyframe%s, at most %s degrees from the recording (tolerance %s)\n", out.c_str(), n,
         n == 1 ? "" : "s", mo::fmt_deg(r.worst).c_str(), mo::fmt_deg(tol).c_str());
}

// A recording into an MCAP file: every channel that orvane-web's Foxglove endpoint has.
void record_mcap(ctl& c, const record_args& a)
{
  if (!a.fields.empty())
    throw usage_error("--fields chooses CSV columns; an MCAP recording holds every channel");
  if (a.seconds <= 0 && a.play.empty())
    throw usage_error("record needs --seconds, or --play to record while a motion plays");
  catch_interrupt();
  mo::record_result r = ctl_record_mcap(c, a.file, a.seconds, a.play, interrupted);
  fprintf(stderr, "orvane-ctl: recorded %zu rows in %zu polls: passes %u..%u, %llu missed in %zu gaps\n",
          r.rows, r.polls, r.first, r.last, static_cast<unsigned long long>(r.missed), r.gaps);
  if (!a.motion.empty())
    to_motion(c, a.file, a.motion, a.tolerance, 1000);
}

void record(ctl& c, const record_args& a)
{
  if (!a.motion.empty() && a.file == "-")
    throw usage_error("--motion needs the recording in a file, not on standard output");
  if (ctl_is_mcap(a.file))
    return record_mcap(c, a);
  if (!a.play.empty())
    throw usage_error("--play records into an MCAP file: name it FILE.mcap");
  if (a.seconds <= 0)
    throw usage_error("record needs --seconds");
  auto& cl = c.client();
  // With a profile, a joint name stands for its goal and position ("elbow"), or one of them
  // ("elbow.goal", "sv_pos.elbow"); a field without its index for all its elements ("sw_in").
  std::vector<std::string> names;
  const mo::profile& p = c.profile();
  for (const std::string& n : a.fields) {
    if (const mo::joint* j = p.profiled() ? p.find(n) : nullptr) {
      names.push_back("servo." + std::to_string(j->id) + ".goal");
      names.push_back("sv_pos." + std::to_string(j->id));
    } else if (orvane::find_field(n) || orvane::find_field(n + ".#")) {
      names.push_back(n);
    } else {
      names.push_back(p.field(n).ref.label);
    }
  }
  auto cols = mo::record_columns(cl, names);
  std::ofstream f;
  bool to_stdout = a.file == "-";
  if (!to_stdout) {
    errno = 0;
    f.open(a.file, std::ios::trunc);
    if (!f)
      throw orvane::error(ctl_file_error("cannot write", a.file, errno));
  }
  catch_interrupt();
  std::ostream& out = to_stdout ? std::cout : f;
  mo::record_result r = mo::record(cl, cols, a.seconds, out, &interrupted);
  if (!out)
    throw orvane::error(ctl_file_error("cannot write", a.file, errno));
  fprintf(stderr, "orvane-ctl: recorded %zu rows in %zu polls: passes %u..%u, %llu missed in %zu gaps\n",
          r.rows, r.polls, r.first, r.last, static_cast<unsigned long long>(r.missed), r.gaps);
  // Empty cells say why: a servo that nobody asks has no position to record.
  std::vector<std::pair<size_t, size_t>> lacking;  // column, empty cells
  for (size_t i = 0; i < cols.size() && i < r.empty.size(); i++)
    if (r.empty[i] && cols[i].ref.f->name == "sv_pos")
      lacking.emplace_back(i, r.empty[i]);
  if (!lacking.empty()) {
    // The reason is the last one seen, said for a servo that still has no reading: one that
    // lacked it for a moment (before its first answer) has only its count.
    auto g = cl.groups();
    bool comm = cl.get("sv_comm_on") != 0;
    auto pos = cl.positions();
    for (auto [i, n] : lacking) {
      int id = cols[i].ref.index;
      std::string text = "sv_pos." + std::to_string(id) + ": no reading in " + std::to_string(n) + " of " +
                         std::to_string(r.rows) + " rows";
      if (orvane::reading_of(g, pos, id, comm).state != orvane::reading_state::valid)
        text += ": " + ctl_reading_hint(c, r.why[i], id);
      fprintf(stderr, "orvane-ctl: %s\n", text.c_str());
      out << "# " << text << '\n';  // for the plot's legend; readers of the CSV skip '#' lines
    }
  }
  // The joints of the servos recorded, so that a plot names them as the profile does.
  const mo::profile& rp = c.profile();
  for (const auto& col : cols)
    if (const mo::joint* j = rp.named(col.ref.index); j && col.ref.f->name == "sv_pos")
      out << mo::joint_line(*j);
  out.flush();
  if (!out)
    throw orvane::error(ctl_file_error("cannot write", a.file, errno));
  if (!a.motion.empty()) {
    f.close();
    to_motion(c, a.file, a.motion, a.tolerance, 1000);
  }
}

}  // namespace

void ctl_motion_verbs(CLI::App& app, ctl& c)
{
  static play_args pa;
  auto* p = ctl_verb(app, c, "play", "Play a motion file on the robot's interpolator",
                     "play FILE [--speed X] [--repeat N] [--fit] [--ease MODE] [--seg N] [--dry-run [--offline] [--plot OUT.png] [--curve OUT.csv]]", [&c] { play(c, pa); });
  p->add_option("file", pa.file, "motion file (YAML; see docs/motions.md)")->required();
  p->add_option("--speed", pa.speed, "speed factor: 2 plays twice as fast (0.01..100)")
      ->check(ctl_range(0.01, 100.0));
  p->add_option("--repeat", pa.repeat, "times to play it (default: the file's repeat, or 1)")
      ->check(ctl_range(1, 10000, true));
  p->add_flag("-n,--dry-run", pa.dry_run, "print the moves it would send, and send nothing");
  p->add_flag("--fit", pa.fit, "stretch keyframes that pass a joint's speed or acceleration limit");
  p->add_option("--plot", pa.plot, "with --dry-run: draw the planned curve of each joint into this PNG");
  p->add_option("--curve", pa.curve, "with --dry-run: write the planned curve as CSV (- for standard output)");
  p->add_flag("--offline", pa.offline, "plan from outputs 0 at 16667 us a tick, without asking the robot");
  p->add_option("--ease", pa.ease, "play every keyframe linear, smooth or spline, whatever the file says")
      ->check(CLI::IsMember({"linear", "smooth", "spline"}));
  p->add_option("--seg", pa.seg, "ticks of each move along a smooth or spline keyframe")
      ->check(ctl_range(1, 255, true));

  static teach_args ta;
  auto* t = ctl_verb(app, c, "teach", "Pose the robot by hand and save the poses as a motion",
                     "teach FILE [--joints J,...] [--ms 500] [--on-switch N]",
                     [&c] { teach(c, ta); });
  t->add_option("file", ta.file, "motion file to write")->required();
  // One word each time it is given, so that the file after it stays the file.
  t->add_option("--joints", ta.joints, "joints to teach (default: all of the profile, or the write list)")
      ->delimiter(',')
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  t->add_option("--ms", ta.ms, "duration of every keyframe in milliseconds (default 500)")
      ->check(ctl_range(1, 600000, true));
  t->add_option("--on-switch", ta.on_switch, "also take a keyframe when switch N (0..4) closes")
      ->check(ctl_range(0, 4, true));

  static record_args ra;
  auto* r = ctl_verb(app, c, "record", "Record every control-loop pass a poll sees into a CSV or MCAP file",
                     "record --seconds S [--fields F,...] [--motion OUT.yaml [--tolerance DEG]] FILE.csv\n"
                     "       record (--seconds S | --play MOTION.yaml) [--motion OUT.yaml] FILE.mcap",
                     [&c] { record(c, ra); });
  r->add_option("--seconds", ra.seconds, "how long to record")->check(ctl_range(0.01, 86400.0));
  r->add_option("--play", ra.play, "MCAP: play this motion file and record until it has ended, with its plan");
  r->add_option("--fields", ra.fields,
                "fields to record (default: each write-list servo's goal and position, the switches)")
      ->delimiter(',')
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  r->add_option("file", ra.file, "file to write: FILE.mcap for MCAP, else CSV (- for standard output)")->required();
  r->add_option("--motion", ra.motion, "also turn the recorded positions into this motion file");
  r->add_option("--tolerance", ra.tolerance, "--motion: degrees the motion may differ from the recording")
      ->check(ctl_range(0.1, 90.0));

  static r2m_args ma;
  auto* m = ctl_verb(app, c, "record2motion", "Turn a recording's positions into a motion file",
                     "record2motion REC.csv|REC.mcap OUT.yaml [--tolerance DEG] [--lead-ms MS]",
                     [&c] { to_motion(c, ma.csv, ma.out, ma.tolerance, ma.lead_ms); });
  m->add_option("recording", ma.csv, "CSV or MCAP file written by orvane-ctl record (its positions)")->required();
  m->add_option("motion", ma.out, "motion file to write")->required();
  m->add_option("--tolerance", ma.tolerance, "degrees the motion may differ from the recording (default 1)")
      ->check(ctl_range(0.1, 90.0));
  m->add_option("--lead-ms", ma.lead_ms, "time to reach the first pose (default 1000)")
      ->check(ctl_range(1.0, 600000.0));
}
