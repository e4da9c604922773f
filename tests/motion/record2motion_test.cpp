// Recordings turned into motions: cells that are no reading, positions no recording can hold,
// and keyframes fitted so that their planned curve keeps to what was recorded.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "host/motion/fit.h"
#include "host/motion/simplify.h"

using namespace orvane::motion;

namespace {

const char* arm2 =
    "joints:\n"
    "  j1: {id: 1}\n"
    "  j2: {id: 2, reverse: true, min: -90, max: 90}\n";

// Twenty passes of j1 at 10 degrees and servo 2 at -20 (j2 at 20), with the loop count of row 5
// (line 6) and the positions of rows 5 to 9 changed.
std::string recording(const std::string& loop5, const std::string& pos1, const std::string& pos2)
{
  std::string s = "time_s,loop_count,gap,sv_pos.1,sv_pos.2\n";
  for (int i = 0; i < 20; i++) {
    bool in = i >= 4 && i < 9;
    s += "0.0," + (i == 4 ? loop5 : std::to_string(100 + i)) + ",0," + (in ? pos1 : "10.0") + "," +
         (in ? pos2 : "-20.0") + "\n";
  }
  return s;
}

std::vector<double> angles(const motion& m, const std::string& joint)
{
  std::vector<double> out;
  for (const keyframe& k : m.frames)
    for (const auto& [name, deg] : k.pose)
      if (name == joint)
        out.push_back(deg);
  return out;
}

std::string joined(const std::vector<std::string>& lines)
{
  std::string s;
  for (const auto& l : lines)
    s += l + "\n";
  return s;
}

}  // namespace

// A cell that is not a number is a missing reading, never a pose; a position no recording can
// hold is refused; one beyond a joint's limits is held at the limit on its own side.
TEST(RecordToMotion, BadCellsAreMissingReadingsAndImpossibleOnesAreRefused)
{
  profile p = profile_parse(arm2, "arm2.yaml");
  struct Case {
    std::string loop, pos1, pos2;
    std::string refused;         // the error, or empty if a motion is made
    double j1, j2;               // the angle every keyframe holds
    std::string note;            // said about it
  };
  std::vector<Case> cases = {
      {"104", "nan", "-20.0", "", 10, 20, "sv_pos.1: 5 cells are not a number (line 6: 'nan'): no reading there"},
      {"104", "inf", "-20.0", "", 10, 20, "(line 6: 'inf')"},
      {"104", "abc", "-20.0", "", 10, 20, "(line 6: 'abc')"},
      {"104", "12x", "-20.0", "", 10, 20, "(line 6: '12x')"},
      {"104", "", "-20.0", "", 10, 20, ""},
      {"abc", "10.0", "-20.0", "r.csv:6: loop_count 'abc' is not a pass count", 0, 0, ""},
      {"1e3", "10.0", "-20.0", "r.csv:6: loop_count '1e3' is not a pass count", 0, 0, ""},
      {"99", "10.0", "-20.0", "r.csv:6: loop_count 99 does not come after 103", 0, 0, ""},
  };
  // Positions no 16-bit word of 0.1 degrees holds, in servo 1's cell or servo 2's.
  using cell_of = std::pair<int, std::string>;
  for (auto [servo, cell] : {cell_of{1, "1e308"}, cell_of{1, "6553.7"}, cell_of{1, "4000"}, cell_of{2, "-3276.8"}})
    cases.push_back({"104", servo == 1 ? cell : "10.0", servo == 2 ? cell : "-20.0",
                     "r.csv:6: sv_pos." + std::to_string(servo) + ": " + cell +
                         " degrees is no servo position (a recording holds -3276.7..3276.7)",
                     0, 0, ""});
  for (const Case& c : cases) {
    SCOPED_TRACE("loop_count " + c.loop + ", sv_pos " + c.pos1 + ", " + c.pos2);
    std::vector<std::string> notes;
    std::string csv = recording(c.loop, c.pos1, c.pos2);
    if (!c.refused.empty()) {
      try {
        recording_motion(csv, "r.csv", p, {}, notes);
        ADD_FAILURE() << "not refused";
      } catch (const mo_errors& e) {
        EXPECT_EQ(joined(e.list), c.refused + "\n");
      }
      continue;
    }
    recorded_motion r = recording_motion(csv, "r.csv", p, {}, notes);
    for (double d : angles(r.m, "j1"))
      EXPECT_EQ(d, c.j1);
    for (double d : angles(r.m, "j2"))
      EXPECT_EQ(d, c.j2);
    EXPECT_EQ(r.m.frames.size(), 2u) << motion_text(r.m);  // the lead, then one hold
    EXPECT_NE(joined(notes).find(c.note), std::string::npos) << joined(notes);
  }
}

// A position beyond a joint's limits, on either side and through a reversed servo, is held at
// that side's limit and said once; the motion written plays (its poses pass the profile).
TEST(RecordToMotion, PositionsBeyondTheLimitsAreHeldOnTheirOwnSide)
{
  profile p = profile_parse(arm2, "arm2.yaml");
  struct Case {
    const char* pos1;
    const char* pos2;
    double j1, j2;
    const char* note;
  } cases[] = {
      {"200", "-20.0", 150, 20, "j1 went beyond its limits: held at 150"},
      {"-151", "-20.0", -150, 20, "j1 went beyond its limits: held at -150"},
      {"10.0", "-120", 10, 90, "j2 went beyond its limits: held at 90"},
      {"10.0", "3000", 10, -90, "j2 went beyond its limits: held at -90"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pos1) + ", " + c.pos2);
    std::vector<std::string> notes;
    recorded_motion r = recording_motion(recording("104", c.pos1, c.pos2), "r.csv", p, {}, notes);
    std::vector<double> j1 = angles(r.m, "j1"), j2 = angles(r.m, "j2");
    EXPECT_NE(std::find(j1.begin(), j1.end(), c.j1), j1.end()) << motion_text(r.m);
    EXPECT_NE(std::find(j2.begin(), j2.end(), c.j2), j2.end()) << motion_text(r.m);
    for (double d : j1)
      EXPECT_TRUE(d >= -150 && d <= 150) << d;
    for (double d : j2)
      EXPECT_TRUE(d >= -90 && d <= 90) << d;
    EXPECT_EQ(joined(notes), std::string(c.note) + "\n");
    EXPECT_NO_THROW(motion_parse(motion_text(r.m), "out.yaml", p));
  }
}

namespace {

// A motion's planned curve on channels 1..3 as a servo that follows it would report it, pass by
// pass, in 0.1 degree.
fit_input planned_path(const std::string& yaml)
{
  motion m = motion_parse(yaml, "m.yaml", profile_none());
  std::vector<mo_span> spans = plan_spans(m, {}, mo_outputs{});
  fit_input in;
  for (uint8_t ch = 1; ch <= 3; ch++)
    in.tracks.push_back({ch, {0}, {true}});
  in.t.push_back(0);
  for (const mo_span& s : spans)
    for (unsigned k = 1; k <= s.ticks; k++) {
      in.t.push_back(s.t0 + k);
      for (fit_track& tr : in.tracks) {
        auto p = std::find_if(s.paths.begin(), s.paths.end(), [&](const mo_path& x) { return x.ch == tr.ch; });
        tr.v.push_back(static_cast<int16_t>(p == s.paths.end() ? tr.v.back() : std::lround(path_at(*p, s.ticks, k))));
        tr.have.push_back(true);
      }
    }
  return in;
}

}  // namespace

// Played motions of every ease, recorded pass by pass, come back as few keyframes whose own
// plan passes within the tolerance of every pass; passes without a reading are not data.
TEST(RecordToMotion, FittedKeyframesAreFewAndTheirPlanKeepsWithinTheTolerance)
{
  struct Case {
    const char* name;
    std::string yaml;
    size_t most;  // keyframes the fit may take
  } cases[] = {
      // Swings of 70 degrees in 18 ticks, played in moves of 3, pass up to 1.25 degrees from their
      // own curve: at a tolerance of 1, a swing takes two keyframes.
      {"linear", "keyframes:\n  - ticks: 40\n    pose: {1: 40, 2: -20}\n  - ticks: 25\n    pose: {1: -10, 3: 30}\n"
                 "  - ticks: 60\n    pose: {1: 0, 2: 0, 3: 0}\n", 3},
      {"smooth", "ease: smooth\nkeyframes:\n  - ticks: 48\n    pose: {1: 60, 2: -90}\n  - ticks: 18\n    pose: {3: 35}\n"
                 "  - ticks: 18\n    pose: {3: -35}\n  - ticks: 18\n    pose: {3: 35}\n  - ticks: 72\n    pose: {1: 0, 2: 0, 3: 0}\n", 12},
      {"spline", "ease: spline\nkeyframes:\n  - ticks: 60\n    pose: {1: 30, 2: 10}\n  - ticks: 45\n    pose: {1: 55, 2: 35}\n"
                 "  - ticks: 45\n    pose: {1: 40, 2: 60}\n  - ticks: 60\n    pose: {1: 0, 2: 0}\n", 8},
  };
  for (bool gaps : {false, true})
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (gaps ? " with every third pass unread" : ""));
      fit_input in = planned_path(c.yaml);
      if (gaps)
        for (fit_track& tr : in.tracks)
          for (size_t i = 1; i + 1 < tr.have.size(); i += 3) {
            tr.have[i] = false;
            tr.v[i] = 1000;  // what a cell holds where it is no reading must not count
          }
      fit_result f = fit_keyframes(in, 10, MO_SEG_TICKS);
      EXPECT_LE(f.keys.size() - 1, c.most);
      EXPECT_LE(f.worst, 10);
      // The same measured from the whole plan of what was fitted, from the first pose.
      motion m;
      for (size_t k = 0; k + 1 < f.keys.size(); k++) {
        keyframe kf;
        kf.in_ticks = true;
        kf.amount = double(in.t[f.keys[k + 1]] - in.t[f.keys[k]]);
        kf.ease = f.eases[k];
        std::vector<int16_t> pose = fit_pose(in, f.keys[k + 1]);
        for (size_t n = 0; n < pose.size(); n++)
          kf.targets.push_back({in.tracks[n].ch, pose[n]});
        m.frames.push_back(kf);
      }
      EXPECT_LE(fit_deviation(in, plan(m, {}, mo_outputs{}), mo_outputs{}, 0), 10);
    }
}

// A ramp in positions that are not all readings stays one keyframe, never a staircase: a servo
// read every other pass shows each position twice (the repeat is the old reading), and servo 2
// behind a silent servo 1 in its read group is not asked and keeps its old position for longer
// than a read cycle.
TEST(RecordToMotion, OldPositionsDoNotMakeAStaircase)
{
  auto twice = [](int i) { return "," + std::to_string((i - i % 2) * 1.5); };
  auto behind = [](int i) {
    bool silent = i >= 20 && i < 34;
    return std::string(silent ? "," : ",0.0") + "," + std::to_string((silent ? 19 : i) * 1.5);
  };
  struct Case {
    const char* columns;
    std::function<std::string(int)> cells;  // of pass i
    const char* ramp;                        // the servo that ramps to 90 degrees
  } cases[] = {{"sv_pos.1", twice, "1"}, {"sv_pos.1,sv_pos.2", behind, "2"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.columns);
    std::string csv = std::string("time_s,loop_count,gap,") + c.columns + "\n";
    for (int i = 0; i <= 60; i++)
      csv += "0," + std::to_string(500 + i) + ",0" + c.cells(i) + "\n";
    std::vector<std::string> notes;
    recorded_motion r = recording_motion(csv, "ramp.csv", profile_none(), {}, notes);
    EXPECT_EQ(r.m.frames.size(), 2u) << motion_text(r.m);
    EXPECT_LE(r.worst, 1.0);
    EXPECT_EQ(angles(r.m, c.ramp).back(), 90);
  }
}
