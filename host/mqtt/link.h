// The bridge's connection to the MQTT broker, through Eclipse Paho's asynchronous C client: it
// connects with a last will, reports messages, a lost connection and a new one, and publishes.
// Nothing is queued while the link is down: what is published then is dropped, so nothing old is
// ever sent late. connect() and disconnect() are called from one thread (the bridge's); the
// handlers run on the library's own thread; up() and publish() may be called from any thread.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/mqtt/topics.h"

struct mq_ack;  // a publish awaiting its acknowledgement (link.cpp)

class mq_link {
 public:
  struct options {
    std::string uri;        // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
    std::string client_id;
    std::string user, password;
    std::string cafile;     // mqtts: the CA that signed the broker's certificate; empty: system's
    int keepalive = 5;      // seconds
    std::string will_topic, will_payload;  // retained, QoS 1; no will without a topic
  };
  struct handlers {
    std::function<void()> connected;              // subscribe and announce here
    std::function<void(std::string why)> lost;    // a link that was up went down
    std::function<void(mq_incoming m)> message;
  };
  // MQTT 5 user properties of a message, as (name, value) pairs.
  using props = std::vector<std::pair<std::string, std::string>>;

  // Throws std::runtime_error for a URI it cannot use.
  mq_link(options o, handlers h);
  ~mq_link();  // disconnects without the will, and waits for the library's thread
  mq_link(const mq_link&) = delete;
  mq_link& operator=(const mq_link&) = delete;

  // Starts a connection unless one is up or under way; returns at once.
  void connect();
  bool up() const { return state_.load() == up_; }
  bool connecting() const { return state_.load() == connecting_; }
  // Why the last attempt failed, or "" (for the log); changes on the library's thread.
  std::string problem() const;
  // The broker's reason code of the last refused connection or of its DISCONNECT (such as 0x86,
  // bad user name or password, or 0x8E, session taken over); 0 when it gave none.
  int reason() const { return reason_.load(); }
  // Whether that reason is one that trying again will not mend: the account or its rights.
  bool refused() const;
  // False when the link is down or the library refused the message.
  bool publish(const std::string& topic, const std::string& payload, int qos, bool retained,
               const props& user = {});
  // Like publish, QoS 1, and `done` hears how it ended on the library's thread: "" once the
  // broker acknowledged it, else why not (refused by the broker's rules, link lost). `done` is
  // not called when this returns false, nor after the link is destroyed.
  // A broker that refuses it by its rules answers with a reason code (0x87, not authorised),
  // which `done` hears as an error starting "the broker refused it".
  bool publish_acked(const std::string& topic, const std::string& payload,
                     std::function<void(std::string error)> done, bool retained = false,
                     const props& user = {});
  bool subscribe(const std::vector<std::string>& topics, int qos);
  // Publishes `last` retained on the will's topic, then disconnects cleanly (no will).
  void disconnect(const std::string& last);

  // "mqtt://h:p" -> "tcp://h:p" (port 1883 or 8883 by default), or "" when the URI is unusable.
  static std::string paho_uri(const std::string& uri);

 private:
  friend struct mq_link_cb;  // the library's callbacks, in link.cpp

  enum { down_, connecting_, up_ };
  const options o_;
  const handlers h_;
  void* client_ = nullptr;  // MQTTAsync
  std::atomic<int> state_{down_};
  std::atomic<int> reason_{0};
  mutable std::mutex mu_;  // guards problem_ and acks_
  std::string problem_;
  std::set<mq_ack*> acks_;  // publishes awaiting the broker's answer; owned here
};
