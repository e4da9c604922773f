// The classroom view's reading of what bridges publish: the input is messages separated by
// newlines, each a byte that picks a topic (status, info or state of robots r0..r3, or another
// topic) and the payload after it, as any robot's account may publish it. After each message
// the room's page is JSON holding only what a robot can have: servo ids 1..32, positions within
// the map's word, at most five switches, a finite rate, names of at most 64 bytes.
#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "fuzz/fuzz.h"
#include "host/mqtt/room.h"

int fuzz_room_state(const uint8_t* data, size_t size)
{
  static const char* const what[] = {"state", "info", "status", "event"};
  std::string_view in(reinterpret_cast<const char*>(data), size);
  mq_room room;
  room.link(true, "");
  int64_t t = 0;
  while (!in.empty()) {
    size_t nl = in.find('\n');
    std::string_view msg = in.substr(0, nl);
    in = nl == std::string_view::npos ? std::string_view() : in.substr(nl + 1);
    if (msg.empty())
      continue;
    auto pick = static_cast<unsigned char>(msg[0]);
    std::string topic = "orvane/r" + std::to_string(pick % 4) + "/" + what[(pick / 4) % 4];
    room.take({topic, std::string(msg.substr(1)), false}, t += 10);
    auto j = nlohmann::json::parse(room.page_json(t), nullptr, false);
    FUZZ_CHECK(j.is_object() && j["robots"].is_array());
    for (const auto& r : j["robots"]) {
      // 64 bytes kept; each invalid byte becomes a three-byte replacement character.
      FUZZ_CHECK(r["name"].is_string() && r["name"].get<std::string>().size() <= size_t{3} * 64);
      FUZZ_CHECK(r["rate"].is_null() || std::isfinite(r["rate"].get<double>()));
      FUZZ_CHECK(r["sw_in"].size() <= 5);
      FUZZ_CHECK(r["servos"].size() <= 32);
      for (const auto& s : r["servos"]) {
        int id = s["id"].get<int>();
        FUZZ_CHECK(id >= 1 && id <= 32);
        FUZZ_CHECK(s["pos"].is_null() || (s["pos"].get<int64_t>() >= -32768 && s["pos"].get<int64_t>() <= 32767));
        FUZZ_CHECK(s["key"].get<std::string>().size() <= size_t{3} * 64);
      }
    }
  }
  return 0;
}
