// The field table against the daemon's own layout, and how names resolve.
#include <gtest/gtest.h>

#include <set>

#include "core/map.h"
#include "orvane.h"

using orvane::field_type;

TEST(Fields, EveryFieldAgreesWithTheDaemonsMapAndEveryMapConstantHasAField)
{
  struct row {
    const char* name;
    uint32_t offset, width, count, stride;
    int first;
  };
  // Derived from core/map.h alone: offsets, element widths, counts and index bases.
  const row expected[] = {
      {"one", MAP_ONE, 2, 1, 2, 0},
      {"robot_name", MAP_ROBOT_NAME, MAP_TICK_PERIOD - MAP_ROBOT_NAME, 1, MAP_TICK_PERIOD - MAP_ROBOT_NAME, 0},
      {"tick_period", MAP_TICK_PERIOD, 4, 1, 4, 0},
      {"sv_torque_on", MAP_SV_TORQUE_ON, 2, 1, 2, 0},
      {"sv_comm_on", MAP_SV_COMM_ON, 2, 1, 2, 0},
      {"led_on", MAP_LED_ON, 2, 1, 2, 0},
      {"exit_req", MAP_EXIT_REQ, 1, 1, 1, 0},
      {"poweroff_req", MAP_POWEROFF_REQ, 1, 1, 1, 0},
      {"sw_in", MAP_SW_IN, 2, MAP_SW_COUNT, 2, 0},
      {"loop_count", MAP_LOOP_COUNT, 4, 1, 4, 0},
      {"wr_list", MAP_WR_LIST, 1, 1, 1, 0},
      {"wr_count", MAP_WR_COUNT, 1, 1, 1, 0},
      {"wr_ids", MAP_WR_IDS, 1, MAP_WR_ROOM, 1, 0},
      {"rd_group", MAP_RD_GROUP, MAP_RD_GROUP_SIZE, MAP_RD_GROUPS, MAP_RD_GROUP_SIZE, 0},
      {"ip_target", MAP_IP_TARGET, 2, MAP_CHANNELS, 2, 0},
      {"ip_enable", MAP_IP_ENABLE, 1, MAP_CHANNELS, 1, 0},
      {"ttime", MAP_TTIME, 1, 1, 1, 0},
      {"ip_out", MAP_IP_OUT, 2, MAP_CHANNELS, 2, 0},
      {"ip_count", MAP_IP_COUNT, 1, MAP_CHANNELS, 1, 0},
      {"sv_pos", map_sv_pos(1), 2, MAP_SV_IDS, 2, 1},
      {"servo.#.goal", map_sv_goal(1), 2, MAP_SV_IDS, 2, 1},
      {"servo.#.torque", map_sv_torque(1), 2, MAP_SV_IDS, 2, 1},
      {"led.a.#", MAP_LED_A, 2, 8, 2, 0},
      {"led.b.#", MAP_LED_B, 2, 8, 2, 0},
  };
  std::set<std::string> seen;
  for (auto& e : expected) {
    SCOPED_TRACE(e.name);
    const orvane::field* f = orvane::find_field(e.name);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->offset, e.offset);
    EXPECT_EQ(f->width, e.width);
    EXPECT_EQ(f->count, e.count);
    EXPECT_EQ(f->stride, e.stride);
    EXPECT_EQ(f->first, e.first);
    seen.insert(e.name);
  }
  for (auto& f : orvane::fields()) {
    EXPECT_TRUE(seen.count(f.name)) << f.name << " is in the table but not checked here";
  }
  // Single integers lie at offsets aligned to their width, as the daemon accesses them whole.
  for (auto& f : orvane::fields()) {
    if (f.type == field_type::int_ || f.type == field_type::uint_) {
      EXPECT_EQ(f.offset % f.width, 0u) << f.name;
    }
  }
  // The channel views are the ip_out channels the daemon's consumers use.
  auto channel = [](const char* n) {
    auto r = orvane::resolve(n);
    return r.f->channel_of(r.index);
  };
  EXPECT_EQ(channel("servo.5.goal"), 5);
  EXPECT_EQ(channel("servo.5.torque"), 37);
  EXPECT_EQ(channel("led.a.0"), 64);
  EXPECT_EQ(channel("led.b.7"), 79);
}

TEST(Fields, NamesResolveToOffsetsOrSayWhatIsWrong)
{
  struct row {
    const char* name;
    std::optional<int> index;
    const char* label;     // on success
    uint32_t offset;
    const char* error;     // part of the message on failure
  };
  const row rows[] = {
      {"ttime", {}, "ttime", 0x0B80, nullptr},
      {"sv_pos.3", {}, "sv_pos.3", 0x0D84, nullptr},
      {"sv_pos", 32, "sv_pos.32", 0x0DBE, nullptr},
      {"ip_target.127", {}, "ip_target.127", 0x0AFE, nullptr},
      {"sw_in.4", {}, "sw_in.4", 0x0068, nullptr},
      {"servo.3.goal", {}, "servo.3.goal", 0x0C06, nullptr},
      {"servo.1.torque", {}, "servo.1.torque", 0x0C42, nullptr},
      {"led.b.7", {}, "led.b.7", 0x0C9E, nullptr},
      {"rd_group.2", {}, "rd_group.2", 0x00E0, nullptr},
      {"sv_pso", {}, nullptr, 0, "unknown field 'sv_pso' (did you mean 'sv_pos'?)"},
      {"servo.3.gaol", {}, nullptr, 0, "(did you mean 'servo.3.goal'?)"},
      {"tick_periode", {}, nullptr, 0, "(did you mean 'tick_period'?)"},
      {"banana", {}, nullptr, 0, "unknown field 'banana'"},
      {"servo.#.goal", {}, nullptr, 0, "unknown field"},
      {"sv_pos.0", {}, nullptr, 0, "index 0 of 'sv_pos' out of range 1..32"},
      {"sv_pos.33", {}, nullptr, 0, "out of range 1..32"},
      {"servo.33.goal", {}, nullptr, 0, "index 33 of 'servo.#.goal' out of range 1..32"},
      {"sw_in.5", {}, nullptr, 0, "out of range 0..4"},
      {"ip_target", {}, nullptr, 0, "needs an index (0..127)"},
      {"ttime.1", {}, nullptr, 0, "takes no index"},
      {"ttime", 1, nullptr, 0, "takes no index"},
      {"sv_pos.3", 3, nullptr, 0, "already has an index"},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(r.name);
    if (r.label) {
      auto ref = orvane::resolve(r.name, r.index);
      EXPECT_EQ(ref.label, r.label);
      EXPECT_EQ(ref.offset, r.offset);
    } else {
      try {
        orvane::resolve(r.name, r.index);
        ADD_FAILURE() << "no error";
      } catch (const orvane::error& e) {
        EXPECT_NE(std::string(e.what()).find(r.error), std::string::npos) << e.what();
      }
    }
  }
  EXPECT_EQ(orvane::label_at(0x0D85), "sv_pos.3+1");
  EXPECT_EQ(orvane::label_at(0x0C06), "ip_out.3");
  EXPECT_EQ(orvane::label_at(0x0300), "");
}
