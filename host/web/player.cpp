#include "host/web/player.h"

#include <exception>

#include "orvane.h"

web_player::~web_player()
{
  stop();
  if (thread_.joinable())
    thread_.join();
}

void web_player::start(std::shared_ptr<orvane::client> c, const std::string& name, const std::string& by)
{
  // The thread before has ended (busy() said so); only its join is left. A stop asked before
  // this start is for the motion before, so it is cleared first.
  if (thread_.joinable())
    thread_.join();
  stop_ = false;
  uint64_t serial = 0;
  {
    std::lock_guard<std::mutex> l(mu_);
    status_ = {name, true, 0, 0, {}, "", 0};
    by_ = by;
    plan_.reset();
    serial = ++serial_;
  }
  thread_ = std::thread([this, c = std::move(c), name, serial] { run(*c, name, serial); });
}

void web_player::stop()
{
  stop_ = true;
}

std::string web_player::busy() const
{
  std::lock_guard<std::mutex> l(mu_);
  if (!status_.playing)
    return "";
  return status_.name + " is playing" + (by_.empty() ? "" : ", started " + by_) + ": stop it first";
}

web_play web_player::status() const
{
  std::lock_guard<std::mutex> l(mu_);
  return status_;
}

std::shared_ptr<const std::string> web_player::plan() const
{
  std::lock_guard<std::mutex> l(mu_);
  return plan_;
}

void web_player::run(orvane::client& c, const std::string& name, uint64_t serial)
{
  std::string outcome;
  try {
    web_motions::events ev;
    ev.serial = serial;
    // Made once, before the first move; pages fetch it when the state names its serial.
    ev.plan = [this, serial](std::string json) {
      auto p = std::make_shared<const std::string>(std::move(json));
      std::lock_guard<std::mutex> l(mu_);
      plan_ = std::move(p);
      status_.plan = serial;
    };
    ev.start = [this](std::vector<std::string> warnings) {
      std::lock_guard<std::mutex> l(mu_);
      status_.warnings = std::move(warnings);
    };
    ev.move = [this](size_t i, size_t n) {
      std::lock_guard<std::mutex> l(mu_);
      status_.move = i + 1;
      status_.moves = n;
    };
    outcome = motions_.play(c, name, stop_, ev) ? "done" : "stopped";
  } catch (const std::exception& e) {
    outcome = e.what();
  }
  std::lock_guard<std::mutex> l(mu_);
  status_.playing = false;
  status_.outcome = outcome;
  status_.plan = 0;
  plan_.reset();
}
