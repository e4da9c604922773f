// orvane-ctl mirror between two orvane-sim robots (or two arms of one), judged from the far side:
// the follower's goals pass by pass, what each map holds afterwards, and what the tool says.
// Every wait is a condition with a generous deadline; steps are counted per pass, never timed.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "support/sim_host.h"
#include "support/temp_dir.h"
#ifdef ORVANE_MIRROR_MCAP
#include "host/motion/yaml_util.h"
#include "host/web/mcap.h"
#include "host/web/recording.h"
#endif

namespace {

constexpr auto LONG = 60s;  // an engage across the range at a gentle speed, on a loaded machine
const std::string ROBOT_YAML = std::string(ORVANE_MOTIONS_DIR) + "/robot.yaml";

std::unique_ptr<SimProcess> mirror(const std::string& follower, const std::string& leader,
                                   std::vector<std::string> more)
{
  std::vector<std::string> args = {"-r", follower, "mirror", "--leader", leader};
  args.insert(args.end(), more.begin(), more.end());
  return std::make_unique<SimProcess>(args, ORVANE_CTL_PATH);
}

// Ends the tool as Ctrl-C does and returns its exit status.
int interrupt(SimProcess& p)
{
  p.send_signal(SIGINT);
  return p.wait_exit(LONG).value_or(-999);
}

void push(SimHost& robot, int id, double deg)
{
  robot.sim.send_stdin("push " + std::to_string(id) + " " + std::to_string(deg) + "\n");
}

// The follower's goals of servos 1..12 at every pass a poll sees, read between two reads of
// loop_count that agree, on a connection and a thread of its own.
class passes {
 public:
  explicit passes(const SimHost& h) : c_(h.connect()), th_([this] { run(); }) {}
  ~passes()
  {
    stop_ = true;
    th_.join();
  }
  // The largest change of servo id's goal from one pass to the next, over the passes seen from
  // now on (mark) or since the start; and how many pairs of consecutive passes that covers.
  void mark()
  {
    std::lock_guard<std::mutex> g(mu_);
    from_ = seen_.size();
  }
  std::pair<int, size_t> largest_step(int id)
  {
    std::lock_guard<std::mutex> g(mu_);
    int worst = 0;
    size_t pairs = 0;
    for (size_t i = std::max<size_t>(from_, 1); i < seen_.size(); i++)
      if (seen_[i].pass == seen_[i - 1].pass + 1) {
        worst = std::max(worst, std::abs(seen_[i].goal[id] - seen_[i - 1].goal[id]));
        pairs++;
      }
    return {worst, pairs};
  }
  int extreme(int id, bool top)
  {
    std::lock_guard<std::mutex> g(mu_);
    int v = top ? INT16_MIN : INT16_MAX;
    for (const auto& s : seen_)
      v = top ? std::max<int>(v, s.goal[id]) : std::min<int>(v, s.goal[id]);
    return v;
  }

 private:
  struct sample {
    uint32_t pass;
    int16_t goal[13];
  };
  void run()
  {
    uint32_t last = 0;
    while (!stop_) {
      try {
        auto a = c_->get("loop_count");
        auto out = c_->read(0x0C00, 26);
        auto b = c_->get("loop_count");
        if (a == b && static_cast<uint32_t>(a) != last) {
          sample s{static_cast<uint32_t>(a), {}};
          for (int id = 0; id <= 12; id++)
            s.goal[id] = static_cast<int16_t>(out[size_t{2} * id] | out[size_t{2} * id + 1] << 8);
          last = s.pass;
          std::lock_guard<std::mutex> g(mu_);
          seen_.push_back(s);
        }
      } catch (const orvane::error&) {
        return;  // the robot went away
      }
      std::this_thread::sleep_for(2ms);
    }
  }
  std::unique_ptr<orvane::client> c_;
  std::mutex mu_;
  std::vector<sample> seen_;
  size_t from_ = 0;
  std::atomic<bool> stop_{false};
  std::thread th_;
};

int64_t goal(SimHost& h, int id) { return h.robot.get("servo.#.goal", id); }

bool goal_is(SimHost& h, int id, int64_t units, std::chrono::milliseconds t = LONG)
{
  return wait_until([&] { return goal(h, id) == units; }, t);
}

}  // namespace

TEST(MirrorCtl, FollowerEngagesGentlyTracksPausesAndRecordsAMotion)
{
  ORVANE_SKIP_IF_EMULATED();
  SimHost leader, follower;
  TempDir dir;
  push(leader, 1, 40), push(leader, 2, -30), push(leader, 3, -60);
  ASSERT_TRUE(leader.sim.wait_stderr("servo 3 pushed to", LONG));
  passes seen(follower);
  std::string csv = dir.file("run.csv");
  auto m = mirror(follower.address, leader.address, {"-p", ROBOT_YAML, "--engage-speed", "60", "--record", csv});
  ASSERT_TRUE(m->wait_stdout("\ntracking\n", LONG)) << m->out() << m->err();
  EXPECT_NE(m->out().find("servos read every 1 tick"), std::string::npos) << m->out();
  // Where the leader is, from where the follower was (0), at most 60 degrees a second: 1 a pass.
  EXPECT_TRUE(goal_is(follower, 1, 400));
  EXPECT_TRUE(goal_is(follower, 2, -300));
  EXPECT_TRUE(goal_is(follower, 3, -600));
  for (int id : {1, 2, 3}) {
    auto [step, pairs] = seen.largest_step(id);
    EXPECT_LE(step, 10) << "servo " << id;
    EXPECT_GT(pairs, 20u);
  }
  // Tracking: the follower's goal is the leader's reading.
  push(leader, 1, 10);
  EXPECT_TRUE(goal_is(follower, 1, 100));
  // Paused, it holds; engaged again, it comes back gently.
  m->send_stdin("\n");
  ASSERT_TRUE(m->wait_stdout("paused", LONG)) << m->out();
  push(leader, 1, -50);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(goal(follower, 1), 100);
  seen.mark();
  m->send_stdin("\n");
  ASSERT_TRUE(wait_until([&] { return goal(follower, 1) == -500; }, LONG)) << m->out();
  EXPECT_LE(seen.largest_step(1).first, 10);
  EXPECT_EQ(interrupt(*m), 0) << m->err();
  EXPECT_NE(m->out().find("the follower holds where it is"), std::string::npos) << m->out();
  // The follower holds there with torque; the leader is limp where it was left, its write list
  // and read groups as they were.
  EXPECT_EQ(follower.robot.get("servo.#.torque", 1), orvane::torque_on_value);
  EXPECT_EQ(goal(follower, 1), -500);
  EXPECT_EQ(leader.robot.get("servo.#.torque", 1), 0);
  EXPECT_EQ(goal(leader, 1), -500);
  EXPECT_EQ(leader.robot.write_list(), (std::vector<int>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(leader.robot.get_bytes("rd_group", 0)[1], 1);

  // The recording has record's columns and the leader's beside them; record2motion takes it.
  std::ifstream in(csv);
  std::string head;
  std::getline(in, head);
  EXPECT_EQ(head.rfind("time_s,loop_count,gap,servo.1.goal,sv_pos.1,", 0), 0u) << head;
  EXPECT_NE(head.find(",leader.sv_pos.6"), std::string::npos) << head;
  size_t rows = 0;
  for (std::string l; std::getline(in, l);)
    rows++;
  EXPECT_GT(rows, 60u);
  SimProcess r2m({"record2motion", csv, dir.file("demo.yaml"), "-p", ROBOT_YAML}, ORVANE_CTL_PATH);
  EXPECT_EQ(r2m.wait_exit(LONG), 0) << r2m.err();
  EXPECT_NE(r2m.out().find("wrote "), std::string::npos) << r2m.out();
}

TEST(MirrorCtl, EngageFromTheFarEndAndTrackingKeepTheFollowersSpeedAndSoftLimits)
{
  ORVANE_SKIP_IF_EMULATED();
  SimHost leader, follower;
  TempDir dir;
  std::string prof = dir.file("arm.yaml", "joints:\n"
                                          "  base:  {id: 1, speed: 90, accel: 900}\n"
                                          "  elbow: {id: 3, min: -40, max: 45, speed: 90}\n");
  follower.robot.torque(true, {1, 3});
  follower.robot.move({{1, -140.0}}, 30);
  follower.robot.wait_until_still({1});
  push(leader, 1, 140);
  push(leader, 3, 100);  // past the follower elbow's soft limit
  ASSERT_TRUE(leader.sim.wait_stderr("servo 3 pushed to", LONG));
  passes seen(follower);
  auto m = mirror(follower.address, leader.address, {"-p", prof, "--engage-speed", "60"});
  ASSERT_TRUE(m->wait_stdout("\ntracking\n", LONG)) << m->out() << m->err();
  auto [engage, pairs] = seen.largest_step(1);
  EXPECT_LE(engage, 10);  // 60 degrees a second at 60 Hz; 280 degrees crossed
  EXPECT_GT(pairs, 100u);
  EXPECT_TRUE(goal_is(follower, 1, 1400));
  EXPECT_TRUE(goal_is(follower, 3, 450));
  // The leader jumps; the follower goes as fast as its profile allows, no faster.
  seen.mark();
  push(leader, 1, -100);
  push(leader, 3, -100);
  EXPECT_TRUE(goal_is(follower, 1, -1000));
  EXPECT_TRUE(goal_is(follower, 3, -400));
  EXPECT_LE(seen.largest_step(1).first, 15);
  EXPECT_LE(seen.largest_step(3).first, 15);
  EXPECT_EQ(seen.extreme(3, true), 450);  // never past the soft limit, either way
  EXPECT_EQ(seen.extreme(3, false), -400);
  EXPECT_EQ(interrupt(*m), 0) << m->err();
}

TEST(MirrorCtl, MissingReadingOrKilledLeaderHoldsTheFollower)
{
  ORVANE_SKIP_IF_EMULATED();
  auto leader = std::make_unique<SimHost>();
  SimHost follower;
  auto m = mirror(follower.address, leader->address, {"-p", ROBOT_YAML});
  ASSERT_TRUE(m->wait_stdout("\ntracking\n", LONG)) << m->out() << m->err();

  // A leader servo that stops answering holds the follower until it answers again.
  leader->sim.send_stdin("silence 2\n");
  ASSERT_TRUE(m->wait_stdout("holding: no reading of leader servo 2", LONG)) << m->out();
  push(*leader, 1, 20);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(goal(follower, 1), 0);
  leader->sim.send_stdin("answer 2\n");
  EXPECT_TRUE(goal_is(follower, 1, 200)) << m->out();

  // The leader killed in the middle of a move: the follower holds short of where it was led.
  std::atomic<bool> stop{false};
  std::atomic<int> pushed{200};
  std::thread ramp([&] {
    for (int u = 205; u <= 1200 && !stop; u += 5, std::this_thread::sleep_for(20ms)) {
      push(*leader, 1, u / 10.0);
      pushed = u;
    }
  });
  ASSERT_TRUE(wait_until([&] { return goal(follower, 1) > 400; }, LONG));
  kill(leader->sim.pid(), SIGKILL);
  int last = pushed;
  stop = true;
  ramp.join();
  ASSERT_TRUE(m->wait_stdout("holding: leader at", LONG)) << m->out();
  // The goals sent before the leader went take their pass; then nothing moves.
  int64_t held = goal(follower, 1);
  ASSERT_TRUE(wait_until([&] {
    std::this_thread::sleep_for(200ms);
    int64_t was = std::exchange(held, goal(follower, 1));
    return was == held;
  }, LONG));
  EXPECT_LE(held, last);
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(goal(follower, 1), held);
  EXPECT_EQ(follower.robot.get("servo.#.torque", 1), orvane::torque_on_value);
  EXPECT_EQ(interrupt(*m), 0) << m->err();
}

TEST(MirrorCtl, UnreachableFollowerIsNamedAndTheLeaderStaysLimp)
{
  ORVANE_SKIP_IF_EMULATED();
  SimHost leader;
  auto follower = std::make_unique<SimHost>();
  auto m = mirror(follower->address, leader.address, {"-p", ROBOT_YAML, "--leader-torque"});
  ASSERT_TRUE(m->wait_stdout("\ntracking\n", LONG)) << m->out() << m->err();
  follower.reset();
  ASSERT_TRUE(m->wait_stdout("unreachable", LONG)) << m->out();
  EXPECT_NE(m->out().find("the leader stays limp"), std::string::npos) << m->out();
  EXPECT_EQ(leader.robot.get("servo.#.torque", 2), 0);
  EXPECT_EQ(leader.robot.write_list(), std::vector<int>{});
  // Asked for at the end, the leader's torque comes back where the hand left it.
  push(leader, 2, 33);
  ASSERT_TRUE(wait_until([&] { return leader.robot.get("sv_pos", 2) == 330; }, LONG));
  EXPECT_EQ(interrupt(*m), 0) << m->err();
  EXPECT_EQ(leader.robot.write_list(), (std::vector<int>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(goal(leader, 2), 330);
  EXPECT_TRUE(wait_until([&] { return leader.robot.get("servo.#.torque", 2) == orvane::torque_on_value; }, LONG));
}

TEST(MirrorCtl, TwoArmsOnOneBusAndMistakesInTheJointMap)
{
  ORVANE_SKIP_IF_EMULATED();
  SimHost arms({"--servos", "1-12"});
  auto before = arms.robot.get_bytes("rd_group", 0);
  push(arms, 1, 25), push(arms, 6, -35);
  ASSERT_TRUE(arms.sim.wait_stderr("servo 6 pushed to", LONG));
  TempDir dir;
  std::vector<std::string> args = {"--map", "7-12=1-6"};
#ifdef ORVANE_MIRROR_MCAP
  std::string mcap = dir.file("arms.mcap");
  args.insert(args.end(), {"--record", mcap});
#endif
  auto m = mirror(arms.address, arms.address, args);
  ASSERT_TRUE(m->wait_stdout("\ntracking\n", LONG)) << m->out() << m->err();
  EXPECT_NE(m->out().find("servos 7, 8, 9, 10, 11, 12 joined the follower's write list"), std::string::npos)
      << m->out();
  EXPECT_TRUE(goal_is(arms, 7, 250));
  EXPECT_TRUE(goal_is(arms, 12, -350));
  EXPECT_EQ(arms.robot.write_list(), (std::vector<int>{7, 8, 9, 10, 11, 12}));
  // The leader's six and the follower's six share the groups, the leader in every turn.
  auto g = arms.robot.groups();
  for (const auto& group : g) {
    if (!group.empty()) {
      EXPECT_TRUE(group[0] == 1 || group[0] == 4);
    }
  }
  push(arms, 3, -15);
  EXPECT_TRUE(goal_is(arms, 9, -150));
  // The recording holds the passes the loop has read back, which may lag the goal it just sent:
  // servo 9 is let arrive, passes later, before the loop is ended.
  EXPECT_EQ(arms.robot.wait_until_reached({9}, 1.0, LONG), std::vector<int>{});
  EXPECT_EQ(interrupt(*m), 0) << m->err();
  EXPECT_EQ(arms.robot.write_list(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(arms.robot.get_bytes("rd_group", 0), before);
  EXPECT_EQ(goal(arms, 1), 250);  // the leader's goals where the hand left them
  EXPECT_EQ(arms.robot.get("servo.#.torque", 1), 0);
  EXPECT_EQ(arms.robot.get("servo.#.torque", 7), orvane::torque_on_value);

#ifdef ORVANE_MIRROR_MCAP
  // The MCAP recording: the follower arm where record puts a robot, the leader arm beside it;
  // record2motion makes a motion of the follower from it.
  EXPECT_NE(m->out().find("passes in " + mcap), std::string::npos) << m->out();
  mcap_contents f = mcap_read(orvane::motion::mo_read_file(mcap));
  EXPECT_TRUE(f.complete) << f.problem;
  std::map<std::string, size_t> per_topic;
  for (const mcap_message& msg : f.messages)
    per_topic[f.channels[msg.channel].topic]++;
  EXPECT_GT(per_topic["/joint_states"], 30u);
  EXPECT_EQ(per_topic["/leader/joint_states"], per_topic["/joint_states"]);
  std::string table = mcap_recording_csv(orvane::motion::mo_read_file(mcap), mcap);
  EXPECT_EQ(table.rfind("time_s,loop_count,gap,servo.7.goal,sv_pos.7,", 0), 0u) << table.substr(0, 200);
  EXPECT_EQ(table.find("servo.1.goal"), std::string::npos);
  EXPECT_NE(table.find(",-15.0,"), std::string::npos);  // servo 9 following servo 3 to -15 degrees
  SimProcess r2m({"record2motion", mcap, dir.file("arms.yaml")}, ORVANE_CTL_PATH);
  EXPECT_EQ(r2m.wait_exit(LONG), 0) << r2m.err();
#endif

  struct row {
    std::vector<std::string> args;
    const char* err;
  };
  const row rows[] = {
      {{}, "servo 1 cannot lead itself"},
      {{"--map", "7-12=1-5"}, "6 follower joints for 5 leader joints"},
      {{"--map", "7=1", "--record", "run.txt"}, "--record writes a .csv or .mcap file"},
  };
  for (const row& r : rows) {
    auto bad = mirror(arms.address, arms.address, r.args);
    EXPECT_EQ(bad->wait_exit(LONG), 2) << bad->err();
    EXPECT_NE(bad->err().find(r.err), std::string::npos) << bad->err();
  }
}
