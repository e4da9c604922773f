// The bridge's command check: the input's first byte picks a topic (each verb of robot "r1",
// the class-wide stop, another robot's command) and whether the message is retained; the rest is
// the body, as any account allowed on the robot's topics may publish it. Whatever the body, the
// check returns; a stop is always taken; an accepted command holds only what the robot may be
// sent; an answer is JSON that names the request.
#include <cmath>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz/fuzz.h"
#include "host/mqtt/topics.h"
#include "orvane.h"

int fuzz_mq_check(const uint8_t* data, size_t size)
{
  static const char* const topics[] = {
      "orvane/r1/cmd/move", "orvane/r1/cmd/torque", "orvane/r1/cmd/leds", "orvane/r1/cmd/play",
      "orvane/r1/cmd/stop", "orvane/r1/cmd/exit",   "orvane/r1/cmd/poweroff", "orvane/all/cmd/stop",
      "orvane/r1/cmd/jump", "orvane/r2/cmd/stop"};
  constexpr size_t n_topics = sizeof topics / sizeof topics[0];
  if (size == 0)
    return 0;
  std::string topic = topics[data[0] % n_topics];
  bool retained = (data[0] / n_topics) % 2 != 0;
  bool poweroff = (data[0] / n_topics / 2) % 2 != 0;
  std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  const double now = 1'000'000;
  auto v = mq_check({topic, body, retained}, "r1", now, mq_max_age_s, poweroff);

  bool stop = topic == "orvane/r1/cmd/stop" || topic == mq_stop_all;
  std::string request;
  if (auto* a = std::get_if<mq_accepted>(&v)) {
    request = a->request;
    const web_command& c = a->cmd;
    FUZZ_CHECK(stop == (c.what == web_command::stop));
    FUZZ_CHECK(stop || (!retained && !request.empty()));
    FUZZ_CHECK(c.what != web_command::poweroff || poweroff);
    FUZZ_CHECK(c.ms >= 0 && c.ms <= 10000);
    // A servo is named by its id or a joint; the robot model judges names and limits later.
    for (const auto& goal : c.goals)
      FUZZ_CHECK(!goal.first.empty() && goal.first.size() <= 64 && std::isfinite(goal.second) &&
                 std::fabs(goal.second) <= 300);
    FUZZ_CHECK(c.what != web_command::move || !c.goals.empty());
    for (auto [i, value] : c.leds)
      FUZZ_CHECK(i >= 0 && i < 16 && value >= 0 && value <= 255);
    for (const std::string& id : c.ids)
      FUZZ_CHECK(!id.empty() && id.size() <= 64);
    FUZZ_CHECK(c.ids.size() <= size_t{orvane::servo_max});
  } else {
    const mq_refused& r = std::get<mq_refused>(v);
    request = r.request;
    FUZZ_CHECK(!stop);
    FUZZ_CHECK(!r.why.empty() || body.empty());
    FUZZ_CHECK(r.why.size() <= 512);
    if (!r.why.empty()) {
      auto reply = nlohmann::json::parse(mq_reply(r.request, r.why), nullptr, false);
      FUZZ_CHECK(reply.is_object() && reply["ok"] == false);
    }
  }
  FUZZ_CHECK(request.size() <= 64);
  return 0;
}
