// The robot model: degrees both ways, the names a person may give, the limits every goal is held
// to, and the map writes it refuses; then the client that goes through it, against orvane-sim.
#include "orvane_model.h"
#include "support/sim_host.h"

namespace {

using orvane::joint;
using orvane::robot_model;

// The example arm's joints that differ from a plain servo: mirrored, trimmed, narrow.
robot_model arm()
{
  robot_model m;
  m.file = "arm.yaml";
  m.joints = {{"base", 1, 0, false, -120, 120},
              {"elbow", 3, 0, true, -10, 135},
              {"wrist", 4, 2.5, false, -90, 90},
              {"gripper", 6, 0, false, 0, 60}};
  return m;
}

// A map image as the model judges writes against: write list 1..6, torque switch on, every
// goal at 0 and every servo limp unless `torque` names it.
std::vector<uint8_t> map_with(std::initializer_list<int> torque = {})
{
  std::vector<uint8_t> m(orvane::map_size, 0);
  auto w16 = [&](uint32_t a, int v) {
    m[a] = static_cast<uint8_t>(v);
    m[a + 1] = static_cast<uint8_t>(v >> 8);
  };
  w16(orvane::resolve("sv_torque_on").offset, 1);
  m[orvane::resolve("wr_count").offset] = 6;
  for (int i = 0; i < 6; i++)
    m[orvane::resolve("wr_ids", i).offset] = static_cast<uint8_t>(i + 1);
  for (int id : torque)
    w16(orvane::resolve("servo.#.torque", id).offset, orvane::torque_on_value);
  return m;
}

std::vector<uint8_t> le16(int v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }

}  // namespace

TEST(Model, DegreesGoBothWaysThroughDirectionAndTrim)
{
  struct row {
    joint j;
    double joint_deg, servo_deg;
  };
  const row rows[] = {
      {{"plain", 1}, 30, 30},
      {{"mirrored", 3, 0, true}, 30, -30},
      {{"trimmed", 4, 2.5}, 0, 2.5},
      {{"both", 5, -4, true}, 10, -14},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.j.name);
    EXPECT_DOUBLE_EQ(orvane::servo_degrees(r.j, r.joint_deg), r.servo_deg);
    EXPECT_DOUBLE_EQ(orvane::joint_degrees(r.j, r.servo_deg), r.joint_deg);
  }
  EXPECT_EQ(orvane::deg_text(-0.001), "0");
  EXPECT_EQ(orvane::deg_text(12.5), "12.5");
  EXPECT_EQ(orvane::deg_text(135), "135");
}

TEST(Model, NamesAreJointsOrServoIdsAndEveryServoIndexTakesAJointName)
{
  robot_model m = arm(), none;
  EXPECT_EQ(m.servo("elbow"), 3);
  EXPECT_EQ(m.servo("5"), 5);
  EXPECT_EQ(none.servo("5"), 5);
  EXPECT_THROW(m.servo("33"), orvane::out_of_range);
  try {
    m.servo("knee");
    FAIL();
  } catch (const orvane::unknown_joint& e) {
    EXPECT_STREQ(e.what(), "no such joint 'knee' (joints: base, elbow, wrist, gripper)");
  }
  EXPECT_THROW(none.servo("elbow"), orvane::unknown_joint);

  struct row {
    const char* name;
    const char* field;  // the element's label; "" for a refusal
    bool in_joint;      // the value is in the joint's degrees
  };
  const row rows[] = {
      {"elbow", "sv_pos.3", true},           {"elbow.goal", "servo.3.goal", true},
      {"elbow.torque", "servo.3.torque", false}, {"sv_pos.elbow", "sv_pos.3", false},
      {"servo.elbow.goal", "servo.3.goal", false}, {"servo.wrist.torque", "servo.4.torque", false},
      {"sv_pos.2", "sv_pos.2", false},       {"tick_period", "tick_period", false},
      {"elbow.speed", "", false},            {"knee.goal", "", false},
      {"sv_pos.knee", "", false},            {"servo.knee.goal", "", false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    if (!*r.field) {
      EXPECT_THROW(m.field(r.name), orvane::out_of_range);
      continue;
    }
    orvane::named_field f = m.field(r.name);
    EXPECT_EQ(f.ref.label, r.field);
    EXPECT_EQ(f.in_joint != nullptr, r.in_joint);
  }
  EXPECT_THROW(m.field("knee"), orvane::unknown_joint);
  EXPECT_THROW(m.field("sv_pso"), orvane::unknown_field);  // a misspelt field is still one
  EXPECT_THROW(none.field("elbow.goal"), orvane::unknown_field);

  EXPECT_NE(orvane::joint_name_problem("3"), "");
  EXPECT_NE(orvane::joint_name_problem("ttime"), "");
  EXPECT_NE(orvane::joint_name_problem("left.arm"), "");
  EXPECT_EQ(orvane::joint_name_problem("left_arm"), "");
}

TEST(Model, GoalsBeyondAJointsLimitsOrAServosRangeAreRefusedNamingThem)
{
  robot_model m = arm(), none;
  struct row {
    const robot_model& model;
    int id;
    int16_t units;
    const char* why;  // "" when it may go
  };
  const row rows[] = {
      {m, 3, -300, ""},  // elbow at 30
      {m, 3, 200, "elbow at -20 degrees (servo 3 at 20) is beyond its limits -10..135"},
      {m, 3, -1350, ""},  // exactly at its limit
      {m, 4, 925, ""},    // wrist at 90 is servo 92.5
      {m, 4, 930, "wrist at 90.5 degrees (servo 4 at 93) is beyond its limits -90..90"},
      {m, 6, -1, "gripper at -0.1 degrees (servo 6 at -0.1) is beyond its limits 0..60"},
      {m, 2, 1400, ""},  // servo 2 has no joint: its own range
      {m, 2, 1600, "servo 2 at 160 degrees is beyond the servo's range -150..150"},
      {none, 3, 200, ""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.units);
    EXPECT_EQ(r.model.goal_refusal(r.id, r.units), r.why);
  }
  EXPECT_EQ(m.joint_refusal(*m.find("elbow"), 150), "elbow at 150 degrees is beyond its limits -10..135");
  EXPECT_EQ(m.torque_refusal(3, 200),
            "torque on would hold elbow at its goal: elbow at -20 degrees (servo 3 at 20) is beyond its "
            "limits -10..135; move it within them first");
}

// Every way a raw write can send a servo somewhere: a goal's target or output, a trigger of
// enabled channels, a torque value, the torque switch, the write list. A goal that stays where
// it is goes, so a servo can always be held.
TEST(Model, RawWritesAreJudgedByWhereTheyWouldSendAServo)
{
  robot_model m = arm();
  auto at = [](const char* name, int i) {
    const orvane::field* f = orvane::find_field(name);
    return orvane::resolve(name, f->indexed() ? std::optional<int>(i) : std::nullopt).offset;
  };
  std::vector<uint8_t> quiet = map_with(), held = map_with({3});
  auto with = [&](std::vector<uint8_t> v, std::initializer_list<std::pair<uint32_t, uint8_t>> bytes) {
    for (auto [a, b] : bytes)
      v[a] = b;
    return v;
  };
  // Elbow's target beyond its limits, its channel enabled; elbow's goal output beyond them, limp;
  // the same with its torque value set, but the switch off, or outside the write list.
  auto aimed = with(held, {{at("ip_target", 3), 200}, {at("ip_enable", 3), 1}});
  auto out_beyond = with(quiet, {{at("ip_out", 3), 200}});
  auto held_beyond = with(out_beyond, {{at("ip_out", 35), 100}});
  auto switched_off = with(held_beyond, {{at("sv_torque_on", 0), 0}});
  auto unlisted = with(held_beyond, {{at("wr_count", 0), 2}});
  struct row {
    const char* what;
    const std::vector<uint8_t>& now;
    uint32_t adr;
    std::vector<uint8_t> bytes;
    size_t refusals;
  };
  const row rows[] = {
      {"target within", quiet, at("ip_target", 3), le16(-300), 0},
      {"target beyond", quiet, at("ip_target", 3), le16(200), 1},
      {"targets of two joints beyond", quiet, at("ip_target", 3), {200, 0, 0x10, 0x27}, 2},
      {"target of a free channel", quiet, at("ip_target", 90), le16(5000), 0},
      {"output beyond", quiet, at("ip_out", 3), le16(200), 1},
      {"trigger toward a target beyond", aimed, at("ttime", 0), {30}, 1},
      {"trigger of zero ticks is no trigger", aimed, at("ttime", 0), {0}, 0},
      {"enable alone moves nothing", held, at("ip_enable", 3), {1}, 0},
      {"torque on a goal beyond", out_beyond, at("ip_out", 35), {100, 0}, 1},
      {"torque on a goal within", quiet, at("ip_out", 35), {100, 0}, 0},
      {"torque off", out_beyond, at("ip_out", 35), {0, 0}, 0},
      {"the switch on with a servo beyond", switched_off, at("sv_torque_on", 0), {1, 0}, 1},
      {"the write list grows to a held servo beyond", unlisted, at("wr_count", 0), {3}, 1},
      {"holding where it is", held_beyond, at("ip_out", 3), le16(200), 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(m.write_refusals(r.adr, r.bytes, r.now).size(), r.refusals);
  }
}

// The reading rule, case by case: a number is a position only while its servo is asked.
TEST(Model, APositionIsAReadingOnlyWhileTheServoIsAskedAndAnswers)
{
  using orvane::reading_state;
  constexpr int16_t none = orvane::no_reading, fresh = orvane::not_read_yet;
  orvane::read_groups g{{{1, 3, 4}, {}, {5, 9, 7}, {}}};
  struct row {
    int id;
    std::vector<std::pair<int, int16_t>> words;  // the rest hold 0x8000
    bool comm_on;
    reading_state state;
    const char* why;
  };
  const row rows[] = {
      {1, {{1, 12}}, true, reading_state::valid, ""},
      {2, {{1, 12}, {2, 400}}, true, reading_state::no_group, "not in a read group"},  // an old word
      {3, {{1, 12}}, true, reading_state::silent, "in read group 0 but silent"},
      {4, {{1, 12}, {4, 77}}, true, reading_state::behind, "in read group 0 behind silent servo 3"},
      {9, {{9, 5}}, true, reading_state::behind, "in read group 2 behind silent servo 5"},
      {5, {{5, fresh}}, true, reading_state::never_read, "in read group 2, not read yet"},
      {9, {{5, fresh}, {9, 30}}, true, reading_state::valid, ""},  // not behind one not asked yet
      {1, {{1, 12}}, false, reading_state::comm_off, "servo traffic is off (sv_comm_on 0)"},
      {2, {{2, 12}}, false, reading_state::no_group, "not in a read group"},
  };
  robot_model m = arm();
  for (const row& r : rows) {
    SCOPED_TRACE(r.id);
    std::vector<int16_t> pos(orvane::servo_max, none);
    for (auto [id, v] : r.words)
      pos[static_cast<size_t>(id - 1)] = v;
    orvane::position p = m.position_of(g, pos, r.id, r.comm_on);
    EXPECT_EQ(p.reading.state, r.state);
    EXPECT_EQ(orvane::reading_why(p.reading), r.why);
    EXPECT_EQ(p.servo_deg.has_value(), r.state == reading_state::valid);
  }
  std::vector<int16_t> pos(orvane::servo_max, none);
  pos[2] = 300;  // elbow's servo at 30: the joint at -30
  orvane::position p = m.position_of({{{3}, {}, {}, {}}}, pos, 3);
  EXPECT_EQ(p.servo_deg, 30.0);
  EXPECT_EQ(p.joint_deg, -30.0);
  // Asked first in another group, a servo counts as asked there, not as waiting behind.
  EXPECT_EQ(orvane::reading_of({{{3, 4}, {4}, {}, {}}}, pos, 4).state, reading_state::silent);
}

// The client holds every goal to its model, and only a person's "anyway" gets past it.
TEST(ModelSim, TheClientRefusesGoalsBeyondItsModelBeforeSendingAnything)
{
  SimHost h;
  orvane::client& c = h.robot;
  c.use_model(std::make_shared<const robot_model>(arm()));
  c.torque(true, {3});
  auto goal = [&] { return c.get("servo.#.goal", 3); };
  EXPECT_THROW(c.move({{3, 20}}, 5), orvane::beyond_limits);
  EXPECT_THROW(c.set("servo.3.goal", 200), orvane::beyond_limits);
  EXPECT_THROW(c.set("ip_target.3", 200), orvane::beyond_limits);
  EXPECT_THROW(c.write(orvane::resolve("ip_target", 3).offset, le16(200)), orvane::beyond_limits);
  EXPECT_EQ(goal(), 0);
  EXPECT_EQ(c.get("ip_target", 3), 0);
  c.move({{3, -30}}, 1);  // the joint at 30: within
  EXPECT_EQ(goal(), -300);

  std::vector<std::string> told;
  c.anyway([&](const std::string& s) { told.push_back(s); });
  c.move({{3, 20}}, 1);
  EXPECT_EQ(goal(), 200);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0], "elbow at -20 degrees (servo 3 at 20) is beyond its limits -10..135");
  c.anyway(nullptr);
  c.torque(false, {3});
  EXPECT_THROW(c.torque(true, {3}), orvane::beyond_limits);  // it would hold -20
  EXPECT_EQ(c.get("servo.#.torque", 3), 0);
}
