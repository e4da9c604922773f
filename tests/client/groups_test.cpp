// The read groups through the client library: decoding, laying out and explaining them, and the
// explanation checked against what the virtual chain does.
#include "support/sim_host.h"

namespace {

using orvane::read_groups;
using orvane::reading_state;
constexpr int16_t none = orvane::no_reading;

std::vector<int16_t> positions(std::initializer_list<std::pair<int, int16_t>> read)
{
  std::vector<int16_t> pos(orvane::servo_max, none);
  for (auto [id, v] : read)
    pos[static_cast<size_t>(id - 1)] = v;
  return pos;
}

}  // namespace

TEST(ReadGroups, BytesDecodeAsTheServoExchangePollsThemAndLayoutsBalance)
{
  std::vector<uint8_t> b(64, 0);
  uint8_t g0[] = {1, 2, 5, 6, 9}, g1[] = {2, 3, 7, 8, 9}, g2[] = {1, 0, 4}, g3[] = {1, 20};
  std::copy(std::begin(g0), std::end(g0), b.begin());       // count 2: the 9 after it is not asked
  std::copy(std::begin(g1), std::end(g1), b.begin() + 16);  // enable 2: not polled
  std::copy(std::begin(g2), std::end(g2), b.begin() + 32);  // count 0: not polled
  std::copy(std::begin(g3), std::end(g3), b.begin() + 48);  // count 20 counts as 14
  read_groups g = orvane::groups_decode(b);
  EXPECT_EQ(g[0], (std::vector<int>{5, 6}));
  EXPECT_TRUE(g[1].empty() && g[2].empty());
  EXPECT_EQ(g[3].size(), 14u);
  EXPECT_EQ(orvane::groups_decode(orvane::groups_encode({{{1, 2}, {}, {}, {7}}})),
            (read_groups{{{1, 2}, {}, {}, {7}}}));
  EXPECT_THROW(orvane::groups_encode({{std::vector<int>(15, 1)}}), orvane::out_of_range);

  struct row {
    std::vector<int> ids;
    int room;
    read_groups want;
  };
  const row rows[] = {
      {{1, 2, 3, 4, 5, 6}, 5, {{{1, 2, 3}, {4, 5, 6}, {}, {}}}},
      {{1, 2, 3}, 5, {{{1, 2, 3}, {}, {}, {}}}},
      {{1, 2, 2, 3}, 1, {{{1}, {2}, {3}, {}}}},  // named twice counts once
      {{1, 2, 3, 4, 5, 6, 7, 8, 9}, 2, {{{1, 2, 3}, {4, 5}, {6, 7}, {8, 9}}}},  // over room: all four
      {{}, 5, {}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(r.ids));
    EXPECT_EQ(orvane::groups_layout(r.ids, r.room), r.want);
  }
  EXPECT_EQ(orvane::groups_room(16667, 6), 5);   // the initial map: 8.8 ms of line left a tick
  EXPECT_EQ(orvane::groups_room(1000, 30), 1);   // never less than one
  EXPECT_EQ(orvane::groups_room(1000000, 6), 14);
}

TEST(ReadGroups, AServoWithoutAReadingIsExplainedByItsGroupAndTheServosBeforeIt)
{
  read_groups g{{{1, 3, 4}, {}, {5, 9}, {}}};
  struct row {
    int id;
    std::vector<int16_t> pos;
    reading_state state;
    const char* why;
  };
  const row rows[] = {
      {1, positions({{1, 12}}), reading_state::valid, ""},
      {2, positions({{1, 12}}), reading_state::no_group, "not in a read group"},
      {3, positions({{1, 12}}), reading_state::silent, "in read group 0 but silent"},
      {4, positions({{1, 12}}), reading_state::behind, "in read group 0 behind silent servo 3"},
      {9, positions({{1, 12}}), reading_state::behind, "in read group 2 behind silent servo 5"},
      {4, positions({}), reading_state::behind, "in read group 0 behind silent servo 1"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.id);
    auto info = orvane::reading_of(g, r.pos, r.id);
    EXPECT_EQ(info.state, r.state);
    EXPECT_EQ(orvane::reading_why(info), r.why);
  }
  // Asked first in another group, a servo counts as silent there, not as waiting behind.
  EXPECT_EQ(orvane::reading_of({{{3, 4}, {4}, {}, {}}}, positions({}), 4).state, reading_state::silent);
}

TEST(ReadGroupsSim, ReadServosLaysOutTheGroupsAndReadingsFollow)
{
  ORVANE_SKIP_IF_EMULATED();
  SimHost h({"--servos", "1,2,4"});  // 3 and 5 do not answer
  auto& r = h.robot;
  EXPECT_EQ(r.groups(), (read_groups{{{1}, {}, {}, {}}}));  // the initial image
  EXPECT_EQ(r.reading(2).state, reading_state::no_group);
  ASSERT_TRUE(wait_until([&] { return r.reading(1).state == reading_state::valid; }, SIM_HOST_TIMEOUT));
  EXPECT_EQ(r.read_servos({2, 3, 4, 5}), (read_groups{{{2, 3, 4, 5}, {}, {}, {}}}));
  EXPECT_EQ(r.read(0xC0, 8), (std::vector<uint8_t>{1, 4, 2, 3, 4, 5, 0, 0}));
  // Each added servo's word is marked until the exchange first asks it.
  EXPECT_EQ(r.positions()[4], orvane::not_read_yet);
  ASSERT_TRUE(wait_until([&] { return r.reading(2).state == reading_state::valid; }, SIM_HOST_TIMEOUT));
  ASSERT_TRUE(wait_until([&] { return r.reading(3).state == reading_state::silent; }, SIM_HOST_TIMEOUT));
  EXPECT_EQ(r.reading(4).state, reading_state::behind);
  EXPECT_EQ(r.reading(4).blocker, 3);
  // Read before and kept in its word as the daemon keeps it, but nobody asks it any more.
  EXPECT_NE(r.positions()[0], orvane::no_reading);
  EXPECT_EQ(r.reading(1).state, reading_state::no_group);
  EXPECT_THROW(r.reading(33), orvane::out_of_range);
}
