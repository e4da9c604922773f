#include "host/web/player.h"

#include <exception>

#include "orvane.h"

web_player::~web_player()
{
  stop();
  if (thread_.joinable())
    thread_.join();
}

void web_player::start(std::shared_ptr<orvane::client> c, const std::string& name)
{
  // The thread before has ended (busy() said so); only its join is left. A stop asked before
  // this start is for the motion before, so it is cleared first.
  if (thread_.joinable())
    thread_.join();
  stop_ = false;
  {
    std::lock_guard<std::mutex> l(mu_);
    status_ = {name, true, 0, 0, {}, ""};
  }
  thread_ = std::thread([this, c = std::move(c), name] { run(*c, name); });
}

void web_player::stop()
{
  stop_ = true;
}

std::string web_player::busy() const
{
  std::lock_guard<std::mutex> l(mu_);
  return status_.playing ? status_.name + " is playing: stop it first" : "";
}

web_play web_player::status() const
{
  std::lock_guard<std::mutex> l(mu_);
  return status_;
}

void web_player::run(orvane::client& c, const std::string& name)
{
  std::string outcome;
  try {
    web_motions::events ev;
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
}
