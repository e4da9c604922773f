#include "host/mqtt/claim.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

using clk = std::chrono::steady_clock;

namespace {

constexpr auto retained_wait = std::chrono::milliseconds(100);  // a margin: they come before the answer

std::string utc_now()
{
  char buf[32] = {};
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

}  // namespace

mq_holder mq_holder::me()
{
  static const std::string since = utc_now();  // the process's start, once
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return {host, static_cast<long>(getpid()), since};
}

mq_link::props mq_holder::props() const
{
  return {{"host", host}, {"pid", std::to_string(pid)}, {"since", since}};
}

mq_holder mq_holder::of(const mq_link::props& p)
{
  mq_holder h;
  for (const auto& [name, value] : p) {
    if (name == "host")
      h.host = value.substr(0, 64);
    else if (name == "since")
      h.since = value.substr(0, 32);
    else if (name == "pid" && !value.empty() && value.size() < 10 &&
             value.find_first_not_of("0123456789") == std::string::npos)
      h.pid = std::stol(value);
  }
  return h;
}

std::string mq_verdict(const std::string& id, const mq_incoming* status, const mq_holder& me,
                       const std::function<bool(long pid)>& bridge_runs)
{
  if (status == nullptr || (status->payload != "online" && status->payload != "robot-lost"))
    return "";  // nobody, offline, or cleared
  mq_holder other = mq_holder::of(status->props);
  if (other.host == me.host && other.pid == me.pid)
    return "";  // our own, from before a lost link
  if (!other.host.empty() && other.host == me.host && other.pid > 0 && !bridge_runs(other.pid))
    return "";  // ours too: a bridge of this machine that is gone
  std::string who = other.host.empty() ? "a bridge that does not say where it runs"
                                       : "the bridge on " + other.host + ", pid " +
                                             std::to_string(other.pid) +
                                             (other.since.empty() ? "" : ", since " + other.since);
  return "id " + id + " is already " + status->payload + " on the broker: " + who +
         "; give this robot another --id (and that id's account), or stop the other bridge";
}

bool mq_bridge_runs(long pid)
{
  std::ifstream f("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  if (!f)
    return false;
  std::string cmd((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  return cmd.find("orvane-mqtt") != std::string::npos;
}

mq_look_result mq_look(mq_link::options o, const std::string& id, const std::function<bool()>& stop)
{
  const std::string status_topic = mq_topic(id, "status");
  std::mutex mu;
  std::condition_variable cv;
  std::optional<mq_incoming> status;
  std::optional<std::string> acked;  // the probe's answer: "" taken, else why not
  o.client_id = "orvane-" + id + "-look-" + std::to_string(getpid());
  o.will_topic.clear();
  mq_link::handlers h;
  h.connected = [] {};
  h.lost = [](const std::string&) {};
  h.message = [&](const mq_incoming& m) {
    std::lock_guard<std::mutex> l(mu);
    if (m.topic == status_topic && !status)
      status = m;
    cv.notify_all();
  };
  mq_link link(o, h);
  link.connect();
  auto until = clk::now() + std::chrono::seconds(std::max(2, o.keepalive) + 1);
  while (!link.up()) {
    if (stop() || clk::now() >= until || (!link.problem().empty() && !link.up()))
      return {false, link.refused(), link.problem().empty() ? "no answer" : link.problem()};
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  link.subscribe({status_topic}, 1);
  // A QoS 1 publish on the id's own topics: the broker answers it only after the subscription
  // (it keeps order), so once it is answered the retained status has come if there is one; and
  // an account that may not use the id's topics hears "not authorised" here.
  if (!link.publish_acked(mq_topic(id, "look"), "", [&](std::string error) {
        std::lock_guard<std::mutex> l(mu);
        acked = std::move(error);
        cv.notify_all();
      }))
    return {false, false, "the link went down"};
  std::unique_lock<std::mutex> l(mu);
  cv.wait_until(l, clk::now() + std::chrono::seconds(std::max(2, o.keepalive)), [&] { return acked.has_value(); });
  if (!acked)
    return {false, false, "the broker did not answer"};
  if (!acked->empty())
    return {true, true, "the broker drops what this bridge publishes on orvane/" + id + "/… (" + *acked +
                            "): does --id " + id + " match the account" +
                            (o.user.empty() ? "" : " '" + o.user + "'") + "?"};
  cv.wait_for(l, retained_wait, [&] { return status.has_value(); });
  mq_holder me = mq_holder::me();
  std::string why = mq_verdict(id, status ? &*status : nullptr, me, mq_bridge_runs);
  return {true, !why.empty(), why};
}
