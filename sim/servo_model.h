// The servos on the virtual chain: framing of the bytes they hear, each servo's registers,
// its movement, its faults and its replies. No I/O, no clock and no lock of its own: the line
// (servo_chain) feeds it bytes with their times and serialises every call under its lock.
// Its register names are the simulator's own, so that it stays an independent check of the
// daemon's packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// A servo's memory, by the model's names for its registers.
enum vs_reg : uint8_t {
  VS_GOAL_POSITION = 0x1E,     // 2 bytes, 0.1 degree, signed
  VS_TORQUE_LIMIT = 0x23,      // maximum torque
  VS_TORQUE_ENABLE = 0x24,     // nonzero: the servo holds and heads for its goal
  VS_PRESENT_POSITION = 0x2A,  // 2 bytes, 0.1 degree, signed; refreshed when asked
};
constexpr size_t VS_MEMORY = 0x80;  // register bytes a servo keeps; the rest read as 0

// What a servo does wrong when it is asked for its position.
enum class sv_fault {
  none,
  silent,       // no reply at all
  bad_csum,     // the checksum byte is off by one bit
  other_id,     // the reply names the next id (checksum consistent)
  short_reply,  // only the first 9 bytes
  late_reply,   // held back until the daemon has given up: goes out with its next packet
};

// One servo as the far side sees it: what tests and the runner's console read.
struct sv_state {
  uint8_t id;
  int16_t goal;        // goal position, as sent
  uint8_t max_torque;  // torque limit
  uint8_t torque;      // torque enable: nonzero is on
  int16_t pos;         // present position, 0.1 degree
  sv_fault fault;
  unsigned replies;  // replies sent, faulty ones included
};

// A reply for the line to carry: its bytes, and when it goes out. A held reply waits on the
// line until its time or until the daemon next sends, whichever comes first.
struct sv_reply {
  uint8_t bytes[8 + 256];
  size_t n = 0;
  int64_t t = 0;
  bool held = false;
};

class servo_model {
 public:
  static constexpr int64_t RETURN_NS = 100000;   // a servo's delay before it answers
  static constexpr int64_t LATE_NS = 150000000;  // a late reply, if the daemon stays quiet
  static constexpr double SPEED = 3750.0;        // 0.1-degree units per second
  static constexpr int POS_LIMIT = 1500;

  // Servos with these ids (each once), at rest at 0 as of time `now`.
  servo_model(const std::vector<uint8_t>& ids, int64_t now);

  // One byte heard on the line at time t. True when it ends a packet, which packet() then holds
  // until the next byte; *r gets the reply it asks for, if any (r->n stays 0 otherwise).
  // Anything that is not a packet is skipped up to the next header.
  bool hear(uint8_t b, int64_t t, sv_reply* r);
  const std::vector<uint8_t>& packet() const { return done_; }

  std::vector<sv_state> servos(int64_t now);
  bool state(uint8_t id, int64_t now, sv_state* out);
  bool place(uint8_t id, int16_t pos, int64_t now);  // puts a servo at a present position
  // Makes a servo misbehave for its next `times` replies (negative: until told otherwise).
  bool fault(uint8_t id, sv_fault f, int times);
  // Called when a query for one of the servos arrives, before it is answered.
  std::function<void(uint8_t id)> on_query;

 private:
  struct servo {
    uint8_t id;
    uint8_t reg[VS_MEMORY];
    double pos;
    int64_t moved_ns;  // time of the last position update
    sv_fault fault;
    int fault_left;
    unsigned replies;
  };

  void packet_done(int64_t t, sv_reply* r);
  void answer(servo& s, int64_t t, sv_reply* r);
  void move(servo& s, int64_t now);
  servo* find(uint8_t id);
  int16_t word(const servo& s, uint8_t reg) const;
  sv_state view(servo& s, int64_t now);

  std::vector<servo> servos_;
  std::vector<uint8_t> rx_;    // the packet being received
  std::vector<uint8_t> done_;  // the packet last received
};
