// Who holds a bridge's id on the broker. A bridge marks its retained status with who it is (host,
// pid, since when, as MQTT 5 user properties) and, before it connects under its id, looks at the
// id's retained status through a connection of its own: an id another running bridge holds is
// refused, naming that bridge, so that the two never throw each other off. mq_verdict is pure;
// mq_look runs on the bridge's thread and blocks until it knows (or `stop` says so).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "host/mqtt/link.h"
#include "host/mqtt/topics.h"

struct mq_holder {
  std::string host;
  long pid = 0;
  std::string since;  // UTC, "2026-12-08T18:30:02Z"

  static mq_holder me();                    // this process
  mq_link::props props() const;             // for the status message
  static mq_holder of(const mq_link::props& p);
};

// What a retained status (none: nullptr) says about taking the id: "" to take it, else why not.
// A status of our own host whose pid no longer runs a bridge (`bridge_runs`) is stale: the
// broker has not yet noticed the bridge went (a power cut, a crash before its will was sent).
std::string mq_verdict(const std::string& id, const mq_incoming* status, const mq_holder& me,
                       const std::function<bool(long pid)>& bridge_runs);
// Whether `pid` on this machine is an orvane-mqtt (by its command line).
bool mq_bridge_runs(long pid);

struct mq_look_result {
  bool reached = false;  // false: the broker was not reached; `why` says why
  bool refused = false;  // reached, and the id is not this bridge's to take; `why` says why
  std::string why;
};
// Connects with `o`'s account under a client id of its own, reads the id's retained status and
// leaves. Also tells an account that may not publish on the id's topics (refused).
mq_look_result mq_look(mq_link::options o, const std::string& id, const std::function<bool()>& stop);
