#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "servo/packet.h"

namespace {

using bytes = std::vector<uint8_t>;

// A servo of the long packets as a case lists it, and the builder's source over such a list.
struct servo_row {
  uint8_t id;
  int16_t torque;
  int16_t goal;
};

sv_source rows(const servo_row* r)
{
  return {[](const void* ctx, uint32_t i, uint8_t reg) -> sv_entry {
            const servo_row& s = static_cast<const servo_row*>(ctx)[i];
            return {s.id, reg == SV_REG_GOAL ? s.goal : s.torque};
          },
          r};
}

bytes longs(const std::vector<servo_row>& e, bool torque_on)
{
  uint8_t buf[SV_BUF_SIZE + 16] = {};
  size_t n = sv_build_longs(buf, e.size(), torque_on, rows(e.data()));
  return bytes(buf, buf + n);
}

struct LongCase {
  const char* what;
  std::vector<servo_row> entries;
  bool torque_on;
  bytes torque, position;  // an empty `position` means: not checked
};

}  // namespace

TEST(ServoPacket, LongPacketsMatchTheirByteVectors)
{
  std::vector<servo_row> six;
  for (uint8_t id = 1; id <= 6; id++)
    six.push_back({id, 0, 0});
  const LongCase cases[] = {
      {"empty list", {}, true, {0xFA, 0xAF, 0x00, 0x00, 0x23, 0x03, 0x00, 0x20},
       {0xFA, 0xAF, 0x00, 0x00, 0x1E, 0x03, 0x00, 0x1D}},
      {"six servos at rest", six, true,
       {0xFA, 0xAF, 0x00, 0x00, 0x23, 0x03, 0x06, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00,
        0x03, 0x00, 0x00, 0x04, 0x00, 0x00, 0x05, 0x00, 0x00, 0x06, 0x00, 0x00, 0x21},
       {0xFA, 0xAF, 0x00, 0x00, 0x1E, 0x03, 0x06, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00,
        0x03, 0x00, 0x00, 0x04, 0x00, 0x00, 0x05, 0x00, 0x00, 0x06, 0x00, 0x00, 0x1C}},
      {"torque 100 and 0x0100", {{1, 100, 0}, {2, 0x0100, 0}}, true,
       {0xFA, 0xAF, 0x00, 0x00, 0x23, 0x03, 0x02, 0x01, 0x64, 0x01, 0x02, 0x00, 0x01, 0x45}, {}},
      {"positions -300 and 900", {{1, 0, -300}, {2, 0, 900}}, true, {},
       {0xFA, 0xAF, 0x00, 0x00, 0x1E, 0x03, 0x02, 0x01, 0xD4, 0xFE, 0x02, 0x84, 0x03, 0xB1}},
      {"torque -1", {{7, -1, 0}}, true,
       {0xFA, 0xAF, 0x00, 0x00, 0x23, 0x03, 0x01, 0x07, 0xFF, 0x01, 0xD8}, {}},
      {"torque switch off", {{1, 100, -300}, {2, -1, 900}}, false,
       {0xFA, 0xAF, 0x00, 0x00, 0x23, 0x03, 0x02, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x21},
       {0xFA, 0xAF, 0x00, 0x00, 0x1E, 0x03, 0x02, 0x01, 0xD4, 0xFE, 0x02, 0x84, 0x03, 0xB1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bytes got = longs(c.entries, c.torque_on);
    size_t n = c.entries.size();
    ASSERT_EQ(got.size(), sv_longs_len(n));
    bytes t(got.begin(), got.begin() + static_cast<long>(sv_long_len(n)));
    bytes p(got.begin() + static_cast<long>(sv_long_len(n)), got.end());
    if (!c.torque.empty()) {
      EXPECT_EQ(t, c.torque);
    }
    if (!c.position.empty()) {
      EXPECT_EQ(p, c.position);
    }
  }
}

// 40 servos fill the buffer exactly; a larger count must not write past it.
TEST(ServoPacket, LongPacketsNeverOutgrowTheBuffer)
{
  std::vector<servo_row> e(60, servo_row{9, 1, 1});
  uint8_t buf[SV_BUF_SIZE + 16];
  for (auto& b : buf)
    b = 0xEE;
  EXPECT_EQ(sv_build_longs(buf, 40, true, rows(e.data())), SV_BUF_SIZE);
  EXPECT_EQ(sv_build_longs(buf, 60, true, rows(e.data())), SV_BUF_SIZE);
  for (size_t i = SV_BUF_SIZE; i < sizeof buf; i++)
    EXPECT_EQ(buf[i], 0xEE);
  EXPECT_EQ(buf[6], 40);
}

TEST(ServoPacket, QueryCarriesTheIdAndItsChecksum)
{
  const std::pair<uint8_t, bytes> cases[] = {
      {1, {0xFA, 0xAF, 0x01, 0x0F, 0x2A, 0x02, 0x00, 0x26}},
      {32, {0xFA, 0xAF, 0x20, 0x0F, 0x2A, 0x02, 0x00, 0x07}},
  };
  for (const auto& [id, want] : cases) {
    uint8_t buf[SV_QUERY_LEN];
    ASSERT_EQ(sv_build_query(buf, id), SV_QUERY_LEN);
    EXPECT_EQ(bytes(buf, buf + SV_QUERY_LEN), want) << "servo " << int(id);
  }
  for (int id = 0; id < 256; id++) {
    uint8_t buf[SV_QUERY_LEN];
    sv_build_query(buf, static_cast<uint8_t>(id));
    EXPECT_EQ(buf[7], id ^ 0x27);
  }
}

TEST(ServoPacket, ChecksumIsTheXorOfTheRangeAndZeroWhenEmpty)
{
  uint8_t b[] = {0x01, 0x02, 0x04, 0x80};
  EXPECT_EQ(futaba_csum(b, b + 4), 0x87);
  EXPECT_EQ(futaba_csum(b + 1, b + 3), 0x06);
  EXPECT_EQ(futaba_csum(b + 2, b + 2), 0);
  EXPECT_EQ(futaba_csum(b + 3, b), 0);
}

TEST(ServoPacket, ReplyIsAcceptedWithAnyFlagsWhenItsChecksumCoversThem)
{
  const bytes replies[] = {
      {0xFD, 0xDF, 0x01, 0x00, 0x2A, 0x02, 0x01, 0x23, 0x01, 0x0A},
      {0xFD, 0xDF, 0x01, 0x80, 0x2A, 0x02, 0x01, 0x23, 0x01, 0x8A},
  };
  for (const auto& r : replies) {
    uint16_t pos = 0;
    EXPECT_TRUE(sv_accept_reply(r.data(), 10, 1, &pos));
    EXPECT_EQ(pos, 0x0123);
  }
}

TEST(ServoPacket, ReplyIsRefusedForAnotherIdAChangedByteOrAMissingByte)
{
  const bytes good = {0xFD, 0xDF, 0x01, 0x00, 0x2A, 0x02, 0x01, 0x23, 0x01, 0x0A};
  uint16_t pos = 0x5555;
  EXPECT_FALSE(sv_accept_reply(good.data(), 10, 2, &pos));
  EXPECT_FALSE(sv_accept_reply(good.data(), 9, 1, &pos));
  EXPECT_FALSE(sv_accept_reply(good.data(), 0, 1, &pos));
  EXPECT_FALSE(sv_accept_reply(good.data(), -1, 1, &pos));
  for (size_t i = 0; i < good.size(); i++) {
    for (uint8_t flip : {0x01, 0x80, 0xFF}) {
      bytes bad = good;
      bad[i] ^= flip;
      EXPECT_FALSE(sv_accept_reply(bad.data(), 10, 1, &pos)) << "byte " << i << " ^ " << int(flip);
    }
  }
  EXPECT_EQ(pos, 0x5555);  // a refused reply yields no position
}

// A reply whose only fault is its address or length is refused even with a matching checksum.
TEST(ServoPacket, ReplyForAnotherRegisterIsRefused)
{
  bytes r = {0xFD, 0xDF, 0x01, 0x00, 0x1E, 0x02, 0x01, 0x23, 0x01, 0x00};
  r[9] = static_cast<uint8_t>(futaba_csum(&r[2], &r[9]));
  uint16_t pos;
  EXPECT_FALSE(sv_accept_reply(r.data(), 10, 1, &pos));
  r = {0xFD, 0xDF, 0x01, 0x00, 0x2A, 0x01, 0x01, 0x23, 0x01, 0x00};
  r[9] = static_cast<uint8_t>(futaba_csum(&r[2], &r[9]));
  EXPECT_FALSE(sv_accept_reply(r.data(), 10, 1, &pos));
  r = {0xFD, 0xDF, 0x01, 0x00, 0x2A, 0x02, 0x01, 0x23, 0x01, 0x00};
  r[9] = static_cast<uint8_t>(futaba_csum(&r[2], &r[9]));
  EXPECT_TRUE(sv_accept_reply(r.data(), 10, 1, &pos));
}
