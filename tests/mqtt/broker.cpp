#include "broker.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "bench/sys_broker.h"
#include "bench/sys_net.h"
#include "support/sim_process.h"

TestBroker::TestBroker(const std::vector<std::pair<std::string, std::string>>& accounts)
    : port_(net_free_port())
{
  // The classroom's files as they are, with this folder for /etc/mosquitto and a loopback
  // listener on the free port in place of the classroom's network.
  if (!broker_files(ORVANE_CLASSROOM_DIR, dir_.path, port_))
    throw std::runtime_error("cannot read " ORVANE_CLASSROOM_DIR);
  std::string pw = dir_.file("orvane.passwd");
  std::ofstream(pw).close();
  for (const auto& [user, password] : accounts) {
    SimProcess p({"-b", pw, user, password}, "/usr/bin/mosquitto_passwd");
    if (p.wait_exit(20s) != 0)
      throw std::runtime_error("mosquitto_passwd failed: " + p.err());
  }
  start();
}

void TestBroker::start()
{
  proc_ = std::make_unique<SimProcess>(std::vector<std::string>{"-c", dir_.path + "/orvane.conf"},
                                       "/usr/sbin/mosquitto");
  if (!proc_->wait_stderr(" running", 20s))
    throw std::runtime_error("mosquitto did not start: " + proc_->err());
}

void TestBroker::stop()
{
  proc_.reset();
}

TestPeer::TestPeer(const std::string& url, const std::string& user, const std::string& password,
                   std::vector<std::string> subscriptions)
    : subs_(std::move(subscriptions))
{
  static int n = 0;
  mq_link::options o;
  o.uri = url;
  o.client_id = "test-" + user + "-" + std::to_string(getpid()) + "-" + std::to_string(++n);
  o.user = user;
  o.password = password;
  mq_link::handlers h;
  h.connected = [this] { link_->subscribe(subs_, 1); };
  h.lost = [](const std::string&) {};
  h.message = [this](mq_incoming m) {
    std::lock_guard<std::mutex> l(mu_);
    got_.push_back(std::move(m));
  };
  link_ = std::make_unique<mq_link>(o, h);
  link_->connect();
}

bool TestPeer::wait_up(std::chrono::milliseconds t)
{
  // Subscribing is asynchronous: a short pause lets the broker take it before the test acts.
  bool up = wait_until([&] { return link_->up(); }, t);
  std::this_thread::sleep_for(200ms);
  return up;
}

bool TestPeer::publish(const std::string& topic, const std::string& payload, bool retained)
{
  return link_->publish(topic, payload, 1, retained);
}

std::optional<mq_incoming> TestPeer::wait(const std::string& topic,
                                          std::function<bool(const mq_incoming&)> ok,
                                          std::chrono::milliseconds t, size_t from)
{
  std::optional<mq_incoming> found;
  wait_until([&] {
    std::lock_guard<std::mutex> l(mu_);
    for (size_t i = from; i < got_.size(); i++)
      if (got_[i].topic == topic && (!ok || ok(got_[i]))) {
        found = got_[i];
        return true;
      }
    return false;
  }, t);
  return found;
}

std::vector<mq_incoming> TestPeer::heard(const std::string& topic, size_t from)
{
  std::lock_guard<std::mutex> l(mu_);
  std::vector<mq_incoming> v;
  for (size_t i = from; i < got_.size(); i++)
    if (got_[i].topic == topic)
      v.push_back(got_[i]);
  return v;
}

std::vector<mq_incoming> TestPeer::heard_under(const std::string& prefix)
{
  std::lock_guard<std::mutex> l(mu_);
  std::vector<mq_incoming> v;
  for (const mq_incoming& m : got_)
    if (m.topic.rfind(prefix, 0) == 0)
      v.push_back(m);
  return v;
}

size_t TestPeer::count()
{
  std::lock_guard<std::mutex> l(mu_);
  return got_.size();
}

std::string test_command(const std::string& id, const std::string& body, double age_s)
{
  using namespace std::chrono;
  auto now = static_cast<double>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count()) / 1e3;
  std::string s = "{\"id\":\"" + id + "\",\"ts\":" + std::to_string(now - age_s);
  return body.empty() ? s + "}" : s + "," + body + "}";
}
