// A real mosquitto for the bridge's tests: the classroom configuration of host/mqtt/classroom on
// 127.0.0.1 and a free port, with its own password file, in a folder of the test's own; and a
// peer on it (a teacher's or a group's program) that keeps every message it hears. Owned by the
// test's thread; a peer's messages arrive on the MQTT library's thread, behind its lock.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/mqtt/link.h"
#include "support/sim_process.h"
#include "support/temp_dir.h"

// A CA of the test's own and what it signed, made with the openssl command in `dir`: a broker
// certificate for 127.0.0.1, one for another name, their key, and a stranger's CA.
struct TestPki {
  explicit TestPki(const TempDir& dir);
  std::string ca, stranger_ca, cert, misnamed_cert, key;
};

class TestBroker {
 public:
  // Its CA, certificate and key: a TLS listener (mqtts://) in place of the plain one.
  struct tls_files {
    std::string ca, cert, key;
  };
  // Accounts: (user, password) pairs written with mosquitto_passwd.
  explicit TestBroker(const std::vector<std::pair<std::string, std::string>>& accounts,
                      const tls_files& tls = {});
  void start();  // on the same port as before
  void stop();   // SIGTERM, and waits for it to end
  std::string url() const
  {
    return (tls_ ? "mqtts://127.0.0.1:" : "mqtt://127.0.0.1:") + std::to_string(port_);
  }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  int port_ = 0;
  bool tls_ = false;
  std::unique_ptr<SimProcess> proc_;
};

class TestPeer {
 public:
  TestPeer(const std::string& url, const std::string& user, const std::string& password,
           std::vector<std::string> subscriptions, const std::string& cafile = "");
  bool wait_up(std::chrono::milliseconds t = std::chrono::seconds(20));
  bool publish(const std::string& topic, const std::string& payload, bool retained = false);

  // The first message heard (from `from` on) on `topic` for which `ok` holds; waits up to `t`.
  std::optional<mq_incoming> wait(const std::string& topic,
                                  std::function<bool(const mq_incoming&)> ok = nullptr,
                                  std::chrono::milliseconds t = std::chrono::seconds(20),
                                  size_t from = 0);
  std::vector<mq_incoming> heard(const std::string& topic, size_t from = 0);
  size_t count();  // of everything heard so far

 private:
  std::vector<std::string> subs_;
  std::mutex mu_;
  std::vector<mq_incoming> got_;
  std::unique_ptr<mq_link> link_;
};

// "{\"id\":\"ID\",\"ts\":NOW," + body + "}": a command as a program sends it.
std::string test_command(const std::string& id, const std::string& body, double age_s = 0);
