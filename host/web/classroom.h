// orvane-web's classroom view (--broker): every robot on an MQTT broker in one page, from the
// bridges' retained status and info and their state messages, and the class-wide stop. Its own
// thread keeps the broker link up and hands the page the room's newest JSON, at most five times
// a second; the MQTT library's thread fills the room. stop_all() may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

struct web_classroom_opts {
  std::string uri;          // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
  std::string credentials;  // the teacher's account (host/mqtt/credentials.h); "" anonymous
  std::string cafile;       // for mqtts://
};

class web_classroom {
 public:
  using publish_fn = std::function<void(std::string json)>;           // the view's thread
  using done_fn = std::function<void(int status, std::string text)>;  // any thread

  // Throws std::invalid_argument (a one-line reason) for options it cannot use, and
  // std::runtime_error in a build without the MQTT client.
  web_classroom(const web_classroom_opts& o, publish_fn publish);
  ~web_classroom();
  web_classroom(const web_classroom&) = delete;
  web_classroom& operator=(const web_classroom&) = delete;

  // Publishes the class-wide stop; `done` gets 200 once the broker has taken it, 502 when it
  // refuses it (an account without the right), 503 without a link, 504 without an answer.
  void stop_all(done_fn done);
  // A page's command for some robots, {"verb":"stop"|"identify"|"play","ids":[...],"motion":...}:
  // published to each robot's command topic; `done` gets 200 once the broker has taken them
  // all, 400 for a body it cannot use, 502 when the broker refuses one, 503 without a link, 504
  // without an answer. What each bridge then says shows on its card.
  void command(const std::string& body, done_fn done);

  struct impl;

 private:
  std::unique_ptr<impl> p_;
};
