// orvane client library: talks to the daemon's monitor port and names the map's fields.
// Standard library and POSIX only. A client object owns its socket; every member function may be
// called from several threads at once: each takes the client's lock for its own commands (a
// move's steps are never interleaved with another thread's), and wait_until_still lets go of it
// between polls. The field table is read-only and may be used from any thread.
//
// Stable (others build on it; names are added, never renamed or removed): everything declared
// here. Not stable: the order of entries in fields() and the wording of error messages.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane {

using namespace std::chrono_literals;

constexpr int default_port = 6498;
constexpr uint32_t map_size = 0x1000;
constexpr int channels = 128;
constexpr int servo_max = 32;       // servo ids 1..32 have a position word
constexpr int16_t no_reading = INT16_MIN;  // 0x8000 in sv_pos: no valid reading
constexpr double degrees_max = 150.0;      // goals lie within +-150.0 degrees
constexpr int torque_on_value = 100;       // torque value torque(true) gives a servo

// ---- Errors. what() is one line that names what failed, fit to show to a user.
struct error : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// The robot cannot be reached: name not found, connection refused, no route.
struct connect_error : error {
  using error::error;
};
// No answer within the time-out. The connection is closed afterwards, since a late answer
// would be taken for the next one; reconnect() opens it again.
struct timeout_error : error {
  using error::error;
};
// The robot closed the connection (it ended, or was asked to).
struct closed_error : error {
  using error::error;
};
// An answer that is not what the protocol says (not a monitor port?).
struct protocol_error : error {
  using error::error;
};
// No field of that name; suggestion holds the nearest name, or is empty.
struct unknown_field : error {
  unknown_field(const std::string& name, std::string suggestion);
  std::string name, suggestion;
};
// An index, value, address or count outside what the map allows, or a field the daemon
// writes. Nothing has been sent when this is thrown.
struct out_of_range : error {
  using error::error;
};

// A servo outside the write list (wr_ids) gets neither goals nor torque: move, torque and set on
// a servo's channel refuse it, unless called with write_list_check::off. `ids` are the servos
// refused, `write_list` the list as it was read. Nothing has been written when this is thrown.
struct not_in_write_list : out_of_range {
  not_in_write_list(std::vector<int> ids, std::vector<int> write_list);
  std::vector<int> ids, write_list;
};
// Servos that did not come within the tolerance of their goals in time (wait_until_reached).
struct not_reached : timeout_error {
  not_reached(const std::string& what, std::vector<int> ids);
  std::vector<int> ids;
};

enum class write_list_check { on, off };

// ---- The field table (host/client/fields.tsv, compiled in).
enum class field_type { int_, uint_, text, bytes };
enum class field_writer { host, daemon, startup, move };

struct field {
  std::string name;    // "sv_pos", "servo.#.goal" ('#' marks where the index goes)
  uint32_t offset;     // of element `first`
  field_type type;
  uint32_t width;      // bytes per element
  uint32_t count;      // elements; 1 for a single value
  uint32_t stride;     // bytes between elements
  int first;           // index of the first element (1 for servo ids)
  int64_t min, max;    // what a host may set (the type's range unless the table narrows it)
  std::string unit;    // "0.1deg", "us", "ticks" or ""
  field_writer writer;
  std::string meaning;

  bool indexed() const { return count > 1 || name.find('#') != std::string::npos; }
  int last() const { return first + static_cast<int>(count) - 1; }
  uint32_t offset_of(int index) const;  // index must lie in first..last()
  // For channel views (writer move): the interpolator channel of an index.
  int channel_of(int index) const;
};

// Every field, in map order of the table file.
const std::vector<field>& fields();
// The field of that exact name ("sv_pos", "servo.#.goal"), or nullptr.
const field* find_field(std::string_view name);

// A field with its index resolved: "sv_pos.3", "servo.3.goal", "ttime", or a name plus an index.
struct field_ref {
  const field* f;
  int index;          // f->first for a single value
  uint32_t offset;    // of this element
  std::string label;  // "sv_pos.3", "servo.3.goal", "ttime"
};
// Throws unknown_field (with a suggestion) or out_of_range (index). An index given both in the
// name and as argument, or missing for an array, is out_of_range too.
field_ref resolve(std::string_view name, std::optional<int> index = std::nullopt);
// The nearest field name to a misspelt one ("sv_pso" -> "sv_pos"), or "" if none is close.
std::string suggest(std::string_view name);
// A field's label for a map offset ("sv_pos.3", "tick_period+2"), or "" for a free byte.
std::string label_at(uint32_t offset);

// Decoding from bytes already read (for hosts that read whole regions at once). `at` points at
// the element's first byte; integers are little-endian.
int64_t decode(const field& f, const uint8_t* at);
std::string decode_text(const field& f, const uint8_t* at);

// The nearest of `choices` to a misspelt word, or "" if none is close: "did you mean".
std::string nearest(std::string_view word, const std::vector<std::string>& choices);

// Degrees <-> the map's 0.1-degree units. to_units rounds to the nearest unit.
int16_t to_units(double degrees);
double to_degrees(int16_t units);

// ---- The protocol's lines, for hosts that speak it themselves (test harnesses, gateways).
// "R 0d80 0040\n": a dump without text column that names address and count.
std::string read_command(uint32_t adr, uint32_t n);
// "W 0a02 2c 01\n": write lines that each name their address, one per 256 bytes.
std::string write_command(uint32_t adr, const std::vector<uint8_t>& bytes);
// The bytes of a dump line ("#aaaa hh hh ...", with or without text column) whose address field
// is adr's low 16 bits, read from its hex fields only (the text column may hold any byte);
// nothing if the line is not such a dump.
std::optional<std::vector<uint8_t>> parse_dump(std::string_view line, uint32_t adr);

// ---- Read groups: the servos whose present positions the daemon asks for, one group per tick.
// Pure helpers on the 64 bytes of rd_group.0..3; callable from any thread.
constexpr int group_count = 4;   // read groups in the map
constexpr int group_room = 14;   // servo ids a group holds
// The ids each group polls, in order; empty for a group that is not polled (enable byte not
// exactly 1, or count 0). Counts above 14 count as 14, as the servo exchange takes them.
using read_groups = std::array<std::vector<int>, group_count>;
read_groups groups_decode(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> groups_encode(const read_groups& g);  // 64 bytes; throws out_of_range
// `ids` spread over as few groups as `room` ids per group allow (all four at most), balanced,
// in the order given; ids named twice count once.
read_groups groups_layout(const std::vector<int>& ids, int room);
// Servos per group that keep a cycle within one tick (a query is about 1.75 ms of line time at
// 115200 baud, after the write list's packets), at least 1 and at most 14.
int groups_room(int32_t tick_us, int write_count);

// Why a servo has, or lacks, a present position.
enum class reading_state {
  valid,     // sv_pos holds a reading
  no_group,  // no reading, and in no group that is polled: nobody asks it
  silent,    // no reading: asked, and it did not answer
  behind,    // no reading: in a group, behind a servo that did not answer (never asked)
};
struct reading_info {
  reading_state state = reading_state::valid;
  int group = -1;   // silent, behind: the group it is in
  int blocker = 0;  // behind: the silent servo before it
};
// From the groups and the 32 sv_pos words (servo 1 first).
reading_info reading_of(const read_groups& g, const std::vector<int16_t>& pos, int id);
// "in no read group", "in read group 0 but silent", "in read group 1 behind silent servo 7";
// empty for a valid reading.
std::string reading_why(const reading_info& r);
const char* reading_name(reading_state s);  // "valid", "no_group", "silent", "behind"

// ---- The tick.
constexpr int32_t tick_us_default = 16667;  // the daemon's period from start-up (60 Hz)
constexpr int32_t tick_us_max = 999999;   // the longest period the daemon takes
// The period the daemon runs at while the map's tick_period reads `tick_period`: it takes
// 1..tick_us_max and keeps its last valid period for anything else, which no host can read, so
// the start-up period stands in. Every duration a host tool computes from the map uses this.
int32_t tick_us_of(int64_t tick_period);

// ---- Moves longer than one trigger.
constexpr int ttime_max = 255;          // ticks one trigger can start (one byte of ttime)
constexpr int move_ticks_max = INT32_MAX;  // a longer move is chained from triggers

// How a move of `ticks` passes is played as triggers of at most 255 ticks: parts() parts of
// nearly equal length; part p (1..parts()) ends end_of(p) passes after the start, where a channel
// going from `from` to `to` has its target on the straight line between them, the last part on
// `to` itself. Pure; client::move and the motion library's playback both use it.
struct move_split {
  int ticks;
  int parts() const { return static_cast<int>((int64_t{ticks} + ttime_max - 1) / ttime_max); }
  int end_of(int part) const;
  int16_t target(int16_t from, int16_t to, int part) const;
};

// ---- The client.
struct target {  // one channel's goal for move_channels
  int channel;
  int16_t value;
};

class client {
 public:
  // Connects to "host", "host:port" or "[v6addr]:port" (port 6498 by default) and reads the
  // banner. `timeout` bounds the connect and every later wait for an answer.
  explicit client(std::string_view robot, std::chrono::milliseconds timeout = 3s);
  ~client();
  client(const client&) = delete;
  client& operator=(const client&) = delete;

  const std::string& robot() const;   // "host:port" as connected
  std::string banner() const;         // "#orvane-6 (...)"
  bool connected() const;
  void reconnect();                   // closes the socket if open and connects again
  void close();

  // Raw map access. Every command names its address and count; a read is one 'R' dump parsed
  // from its hex fields. Both throw out_of_range for bytes beyond the map, before sending.
  // write() returns once the daemon has carried it out (a read follows it on the same line).
  std::vector<uint8_t> read(uint32_t adr, uint32_t n);
  void write(uint32_t adr, const std::vector<uint8_t>& bytes);

  // Typed access by name. get/set take "name.index" or the name plus an index. set refuses
  // fields the daemon writes and values outside the field's range; a channel view
  // (servo.3.goal, led.a.2) is set by a one-tick move of its channel alone.
  // Setting a servo's channel (servo.7.goal) checks the write list first, as move does.
  int64_t get(std::string_view name, std::optional<int> index = std::nullopt);
  void set(std::string_view name, int64_t value, std::optional<int> index = std::nullopt,
           write_list_check check = write_list_check::on);
  std::string get_text(std::string_view name);                    // text fields (robot_name)
  void set_text(std::string_view name, std::string_view value);
  std::vector<uint8_t> get_bytes(std::string_view name, std::optional<int> index = std::nullopt);
  void set_bytes(std::string_view name, const std::vector<uint8_t>& value,
                 std::optional<int> index = std::nullopt);

  // Moves servos to goals in degrees (-150.0..150.0) over `ticks` passes (1..move_ticks_max).
  // Only the named servos' goal channels move: all others are taken out of the move for the one
  // trigger and their enables put back afterwards. Returns once the pass that started the move
  // has ended (one or two passes), so ip_count and ip_out already show it. A move longer than
  // 255 ticks is chained (see move_split): the call returns once its last part has started.
  // Servos outside the write list are refused (not_in_write_list) unless check is off.
  void move(const std::vector<std::pair<int, double>>& goals, int ticks,
            write_list_check check = write_list_check::on);
  // The same on interpolator channels with raw values (torque channels, LED channels, free
  // ones); no write-list check.
  void move_channels(const std::vector<target>& targets, int ticks);
  // Waits until ip_count of the channels (servo ids are their goal channels; all channels if
  // empty) is 0 and the pass that ended their moves is over, so ip_out holds the targets.
  // Throws timeout_error if their counts make no progress for `stall`.
  void wait_until_still(const std::vector<int>& channels = {},
                        std::chrono::milliseconds stall = 3s);
  // Waits until the servos' moves have ended (as wait_until_still), then until each servo's
  // present position lies within `tolerance` degrees of its goal. Servos without a reading
  // (sv_pos 0x8000) are not waited for: they are returned. Throws not_reached, naming the
  // servos still away from their goals, when `timeout` has passed after the moves' end.
  std::vector<int> wait_until_reached(const std::vector<int>& ids, double tolerance = 1.0,
                                      std::chrono::milliseconds timeout = 3s);
  // The tick the daemon runs at, in microseconds: tick_us_of the map's tick_period.
  int32_t tick_us();
  // Ticks for a duration at tick_us(): 1..move_ticks_max, what move takes.
  int ticks_for(std::chrono::milliseconds duration);

  // Torque of servos (the write list's servos when `ids` is empty): on gives each the value
  // `torque_on_value` and makes sure sv_torque_on is set; off gives 0. Named servos outside the
  // write list are refused as in move.
  void torque(bool on, const std::vector<int>& ids = {},
              write_list_check check = write_list_check::on);
  std::vector<int> write_list();                              // servo ids of the write list
  std::optional<double> position(int id);                    // degrees; nothing for 0x8000
  std::array<bool, 5> switches();                             // sw_in 0..4, true = closed
  std::array<uint8_t, 16> leds();                             // board A 0..7, board B 0..7
  void set_leds(const std::vector<std::pair<int, uint8_t>>& leds);  // (0..15, value)

  // The read groups as the daemon polls them; set_groups writes all four at once.
  read_groups groups();
  void set_groups(const read_groups& g);
  // Lays `ids` out in the read groups (groups_layout with groups_room for the map's tick and
  // write list), replacing what they held, and returns the layout written.
  read_groups read_servos(const std::vector<int>& ids);
  // Why servo `id` (1..32) has or lacks a reading, from one read of groups and positions.
  reading_info reading(int id);
  std::vector<int16_t> positions();  // the 32 sv_pos words, servo 1 first

  // Asks the daemon to end (or to power the board off) and waits until it has closed the
  // connection; timeout_error if it does not within the time-out.
  void request_exit();
  void request_poweroff();

 private:
  void wait_part(int channel, int64_t tick_us);  // until a chained move's part has ended
  struct impl;
  std::unique_ptr<impl> p_;
};

}  // namespace orvane
