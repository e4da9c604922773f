// One robot as orvane-web sees it: a thread that keeps one monitor connection open through the
// client library, polls the map at most once per tick, carries out the pages' commands between
// polls and reconnects by itself. The client and the poll state belong to that thread, which
// lends the client to its player while a motion or a chained move plays; submit() and the
// destructor may be called from any thread. A stop never waits in the queue: it is counted
// beside it, taken before the next command, and voids the moves and plays queued before it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orvane_model.h"
#include "host/web/command.h"
#include "host/web/jog.h"
#include "host/web/mirror.h"
#include "host/web/motions.h"
#include "host/web/player.h"

class web_poller {
 public:
  using publish_fn = std::function<void(std::string json)>;            // poller thread
  using done_fn = std::function<void(int status, std::string text)>;   // poller thread
  // Every poll's state (and each loss of the robot), with the measured pass rate and the time
  // it was read in ns since the epoch; poller thread.
  using sample_fn = std::function<void(const web_state& s, double rate, int64_t t_ns)>;
  // Whether `sample` is taking states now: while it is, every poll is decoded and sampled, not
  // only those that changed; any thread.
  using sampling_fn = std::function<bool()>;

  // Polls no more often than `max_hz`, nor more than once per tick_period. Every command goes
  // through `model` (the robot model without a profile when null): names, degrees and limits,
  // refused with 400. A page may have this robot follow another as `mirror` says.
  web_poller(int index, std::string address, double max_hz, publish_fn publish,
             const web_motions& motions, std::shared_ptr<const orvane::robot_model> model = nullptr, sample_fn sample = {},
             sampling_fn sampling = {}, web_mirror_opts mirror = {});
  ~web_poller();  // stops the thread; it may take one client time-out
  web_poller(const web_poller&) = delete;
  web_poller& operator=(const web_poller&) = delete;

  const std::string& address() const { return address_; }
  // Queues a command; `done` gets an HTTP status (200, 4xx, 502, 503) and a one-line text.
  // While a motion or a chained move of this poller plays, moves, jogs, mirroring and motions are
  // refused with 409, and so are moves and motions a later stop voided, and a motion whose servos
  // another host still moves; while this robot follows another, moves, jogs and motions are. A
  // stop is never refused: it stops the player, the jog and the mirroring at once, then the
  // poller's thread holds every moving servo and answers 200.
  void submit(web_command cmd, done_fn done);
  uint64_t polls() const { return polls_.load(std::memory_order_relaxed); }
  // The planned curve of the motion its page playlist plays, or null. Any thread.
  std::shared_ptr<const std::string> plan() const { return player_.plan(); }
  // The robot's state as last read, or null before the first poll. Any thread.
  std::shared_ptr<const web_state> state() const;

  static constexpr auto time_out = std::chrono::milliseconds(1000);   // connect and answers
  static constexpr auto retry = std::chrono::milliseconds(250);       // between connects

 private:
  struct job {
    web_command cmd;
    done_fn done;
    uint64_t stops = 0;  // stops taken before it arrived
  };
  void run();
  void carry_out(const std::shared_ptr<orvane::client>& c, const job& j);
  // The stops counted since the last look: stop the player, hold, answer. Throws the client's
  // errors after answering.
  void take_stops(const std::shared_ptr<orvane::client>& c, const std::string& problem);
  bool wait_until(std::chrono::steady_clock::time_point t);  // false once stopping
  std::deque<job> take_jobs();

  const int index_;
  const std::string address_;
  const double max_hz_;
  const publish_fn publish_;
  const sample_fn sample_;
  const sampling_fn sampling_;
  const web_motions& motions_;
  const std::shared_ptr<const orvane::robot_model> model_;
  web_player player_;
  web_mirror mirror_;
  web_jog jog_;
  web_state last_;  // the state last polled
  std::atomic<uint64_t> polls_{0};

  mutable std::mutex state_mu_;  // guards state_
  std::shared_ptr<const web_state> state_;

  std::mutex mu_;  // guards jobs_, stop_, stops_ and stop_dones_
  std::condition_variable cv_;
  std::deque<job> jobs_;
  bool stop_ = false;
  uint64_t stops_ = 0;                // stops taken (submit's threads)
  std::vector<done_fn> stop_dones_;   // their answers still to give
  uint64_t stops_done_ = 0;           // the poller thread's: stops carried out
  std::thread thread_;
};
