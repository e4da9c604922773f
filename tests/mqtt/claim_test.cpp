// Who may take a bridge's id: the retained status another bridge left, read as the id's look does.
#include <gtest/gtest.h>

#include "host/mqtt/claim.h"

TEST(MqttClaim, AnIdHeldByAnotherRunningBridgeIsRefusedNamingIt)
{
  const mq_holder me{"pi-07", 300, "2026-12-08T10:00:00Z"};
  const mq_link::props other = {{"host", "pi-12"}, {"pid", "4242"}, {"since", "2026-12-08T09:00:00Z"}};
  const mq_link::props here_gone = {{"host", "pi-07"}, {"pid", "77"}};   // no bridge runs as 77
  const mq_link::props here_alive = {{"host", "pi-07"}, {"pid", "88"}};  // a bridge runs as 88
  struct row {
    const char* name;
    std::optional<mq_incoming> status;
    const char* refused;  // nullptr: the id is ours to take
  };
  for (const row& r : std::vector<row>{
           {"no status", std::nullopt, nullptr},
           {"offline", mq_incoming{"orvane/r1/status", "offline", true, other}, nullptr},
           {"cleared", mq_incoming{"orvane/r1/status", "", true, {}}, nullptr},
           {"our own, from before a lost link", mq_incoming{"orvane/r1/status", "online", true, me.props()}, nullptr},
           {"a bridge of this machine that is gone", mq_incoming{"orvane/r1/status", "online", true, here_gone}, nullptr},
           {"another machine's", mq_incoming{"orvane/r1/status", "online", true, other},
            "id r1 is already online on the broker: the bridge on pi-12, pid 4242, since 2026-12-08T09:00:00Z"},
           {"another machine's, robot lost", mq_incoming{"orvane/r1/status", "robot-lost", true, other},
            "already robot-lost on the broker: the bridge on pi-12"},
           {"another bridge of this machine", mq_incoming{"orvane/r1/status", "online", true, here_alive},
            "the bridge on pi-07, pid 88"},
           {"a bridge that does not say who it is", mq_incoming{"orvane/r1/status", "online", true, {}},
            "a bridge that does not say where it runs"},
           {"a pid that is not a number", mq_incoming{"orvane/r1/status", "online", true, {{"host", "pi-07"}, {"pid", "x"}}},
            "the bridge on pi-07, pid 0"},
       }) {
    SCOPED_TRACE(r.name);
    std::string why = mq_verdict("r1", r.status ? &*r.status : nullptr, me, [](long pid) { return pid == 88; });
    if (r.refused == nullptr) {
      EXPECT_EQ(why, "");
    } else {
      EXPECT_NE(why.find(r.refused), std::string::npos) << why;
    }
  }
}
