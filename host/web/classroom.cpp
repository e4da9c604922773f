#include "host/web/classroom.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/mqtt/credentials.h"
#include "host/mqtt/topics.h"
#include "host/web/json_in.h"
#include "host/mqtt/link.h"
#include "host/mqtt/room.h"

using clk = std::chrono::steady_clock;

namespace {

constexpr auto page_period = std::chrono::milliseconds(200);  // the page's newest room, 5 Hz
constexpr auto retry = std::chrono::seconds(1);               // a lost broker, again
constexpr auto ack_wait = std::chrono::seconds(5);            // a stop without an answer fails

int64_t now_ms()
{
  using namespace std::chrono;
  return duration_cast<milliseconds>(clk::now().time_since_epoch()).count();
}

double epoch_s()
{
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

constexpr size_t max_command = size_t{8} * 1024;  // of a page's command body

}  // namespace

struct web_classroom::impl {
  // A stop awaiting the broker's answer: told once, by the answer or by the deadline.
  struct pending {
    std::shared_ptr<std::once_flag> once;
    done_fn done;
    clk::time_point deadline;
  };

  mq_room room;
  publish_fn publish;
  std::unique_ptr<mq_link> link;
  std::mutex mu;  // guards stop, stops
  std::condition_variable cv;
  bool stop = false;
  std::vector<pending> stops;
  std::string uri;
  uint64_t requests = 0;  // the request ids of this view's commands
  std::thread thread;

  void run();
};

web_classroom::web_classroom(const web_classroom_opts& o, publish_fn publish) : p_(std::make_unique<impl>())
{
  p_->publish = std::move(publish);
  mq_link::options lo;
  lo.uri = o.uri;
  if (mq_link::paho_uri(o.uri).empty())
    throw std::invalid_argument("--broker wants mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not '" +
                                o.uri + "'");
  if (!o.cafile.empty() && o.uri.rfind("mqtts://", 0) != 0)
    throw std::invalid_argument("--cafile is for an mqtts:// broker");
  if (!o.credentials.empty())
    if (std::string why = mq_read_credentials(o.credentials, &lo.user, &lo.password); !why.empty())
      throw std::invalid_argument("--credentials " + why);
  char host[64] = {};
  gethostname(host, sizeof host - 1);
  // Unique on the broker, so two views (two teachers' PCs) do not throw each other off.
  lo.client_id = "orvane-web-" + std::string(host) + "-" + std::to_string(getpid());
  lo.cafile = o.cafile;
  impl* p = p_.get();
  p->uri = o.uri;
  mq_link::handlers h;
  // The return is told here, the loss and the retries' reasons by run(), each once.
  h.connected = [p] {
    fprintf(stderr, "orvane-web: broker %s: connected\n", p->uri.c_str());
    p->room.link(true, "", now_ms());
    p->link->subscribe(mq_room::topics(), 1);
  };
  h.lost = [p](const std::string& why) { p->room.link(false, why, now_ms()); };
  h.message = [p](const mq_incoming& m) { p->room.take(m, now_ms()); };
  p_->link = std::make_unique<mq_link>(std::move(lo), std::move(h));
  p_->thread = std::thread([p] { p->run(); });
}

web_classroom::~web_classroom()
{
  {
    std::lock_guard<std::mutex> l(p_->mu);
    p_->stop = true;
    p_->cv.notify_all();
  }
  p_->thread.join();
  p_->link.reset();  // no more callbacks
  for (auto& s : p_->stops)
    std::call_once(*s.once, [&] { s.done(503, "orvane-web is ending"); });
}

void web_classroom::stop_all(done_fn done)
{
  auto once = std::make_shared<std::once_flag>();
  auto d = std::make_shared<done_fn>(std::move(done));
  {
    std::lock_guard<std::mutex> l(p_->mu);
    p_->stops.push_back({once, [d](int st, std::string t) { (*d)(st, std::move(t)); },
                         clk::now() + ack_wait});
  }
  bool sent = p_->link->publish_acked(mq_stop_all, "", [once, d](std::string error) {
    std::call_once(*once, [&] {
      if (error.empty())
        (*d)(200, "");
      else
        (*d)(502, error);
    });
  });
  if (!sent)
    std::call_once(*once, [&] { (*d)(503, "not connected to the broker: " + p_->link->problem()); });
}

void web_classroom::command(const std::string& body, done_fn done)
{
  using nlohmann::json;
  auto read = json_in(body, {max_command, 4});
  if (auto* why = std::get_if<std::string>(&read))
    return done(400, *why);
  const json& j = std::get<json>(read);
  const json &verb = json_at(j, "verb"), &ids = json_at(j, "ids"), &motion = json_at(j, "motion");
  std::string v = verb.is_string() ? verb.get<std::string>() : "";
  if (v != "stop" && v != "identify" && v != "play")
    return done(400, "\"verb\" must be stop, identify or play");
  if (!ids.is_array() || ids.empty() || ids.size() > mq_room::max_robots)
    return done(400, "\"ids\" must list the robots");
  for (const json& id : ids)
    if (!id.is_string() || !mq_id_ok(id.get<std::string>()) || id.get<std::string>() == "all")
      return done(400, "\"ids\" must list robot ids");
  if (v == "play" && (!motion.is_string() || motion.get<std::string>().empty()))
    return done(400, "\"motion\" must name a motion");
  // Told once: 200 when the last is taken, or the first failure.
  struct tally {
    std::once_flag once;
    std::mutex mu;
    size_t left;
    done_fn done;
  };
  auto t = std::make_shared<tally>();
  t->left = ids.size();
  t->done = std::move(done);
  auto told = [t](int status, const std::string& text) {
    bool last;
    {
      std::lock_guard<std::mutex> l(t->mu);
      last = --t->left == 0;
    }
    if (status != 200 || last)
      std::call_once(t->once, [&] { t->done(status, text); });
  };
  for (const json& id : ids) {
    std::string rid = id.get<std::string>();
    json cmd = {{"ts", epoch_s()}};
    {
      std::lock_guard<std::mutex> l(p_->mu);
      cmd["id"] = mq_room::request_prefix + std::to_string(++p_->requests);
    }
    if (v == "play")
      cmd["motion"] = motion;
    bool sent = p_->link->publish_acked(mq_topic(rid, "cmd/" + v), cmd.dump(), [told, rid](const std::string& error) {
      if (error.empty()) {
        told(200, "");
      } else {
        std::string why = rid;
        why += ": ";
        why += error;
        told(502, why);
      }
    });
    if (!sent)
      told(503, "not connected to the broker: " + p_->link->problem());
  }
}

void web_classroom::impl::run()
{
  clk::time_point next_link = clk::now();
  clk::time_point last_sent;
  std::string told;
  bool was_up = false;
  std::unique_lock<std::mutex> l(mu);
  while (!stop) {
    l.unlock();
    clk::time_point now = clk::now();
    bool up = link->up();
    if (was_up && !up) {
      told = link->problem();
      fprintf(stderr, "orvane-web: broker %s: connection lost (%s); showing each robot as last heard\n",
              uri.c_str(), told.c_str());
    }
    was_up = up;
    if (!up && !link->connecting() && now >= next_link) {
      std::string p = link->problem();
      room.link(false, p, now_ms());
      if (!p.empty() && p != told)
        fprintf(stderr, "orvane-web: broker %s: %s\n", uri.c_str(), p.c_str());
      told = p;
      link->connect();
      next_link = now + retry;
    }
    // Sent when something changed, and once a second anyway, so the page sees each state's age.
    if (room.changed() || now - last_sent >= std::chrono::seconds(1)) {
      publish(room.page_json(now_ms()));
      last_sent = now;
    }
    l.lock();
    for (auto& s : stops)
      if (now >= s.deadline)
        std::call_once(*s.once, [&] { s.done(504, "the broker did not answer"); });
    std::erase_if(stops, [&](const pending& s) { return now >= s.deadline; });
    cv.wait_for(l, page_period, [&] { return stop; });
  }
}
