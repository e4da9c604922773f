#include "host/web/fox_ws.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <atomic>
#include <chrono>
#include <deque>

#include "host/web/fox.h"
#include "host/web/poller.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

// A client slower than the state rate loses messages rather than making the server hold them:
// past this many bytes waiting, new messages are dropped (and the client is told once).
constexpr size_t queue_limit = size_t{256} * 1024;
constexpr size_t replies_limit = 256;      // answers waiting; a client that floods more is closed
constexpr int client_sndbuf = 32 * 1024;   // the kernel doubles it; the backlog waits here instead
constexpr auto idle = std::chrono::seconds(20);

class fox_conn;

}  // namespace

// One robot's endpoint: its channels' builder and the clients that watch it.
struct fox_robot {
  std::unique_ptr<ch_builder> builder;
  std::vector<std::weak_ptr<fox_conn>> clients;
  std::shared_ptr<const std::string> plan;  // the /motion/plan message of the motion playing
  uint64_t plan_serial = 0;
};

struct fox_hub {
  fox_hub(asio::io_context& c, fox_hub_opts opts) : ioc(c), o(std::move(opts)) {}
  asio::io_context& ioc;
  const fox_hub_opts o;
  std::vector<ch_id> channels;  // advertised to every client
  std::shared_ptr<const std::string> description;
  std::vector<fox_robot> robots;
  std::atomic<int> clients{0};
  std::string session;

  fox_robot& robot(size_t i)
  {
    if (robots.size() <= i)
      robots.resize(i + 1);
    return robots[i];
  }
};

namespace {

class fox_conn : public std::enable_shared_from_this<fox_conn> {
 public:
  fox_conn(fox_hub& h, size_t robot, web_poller* poller, tcp::socket&& sock)
      : h_(h), robot_(robot), poller_(poller), ws_(std::move(sock)), proto_(h.channels, h.o.joints) {}
  ~fox_conn()
  {
    if (counted_)
      h_.clients--;
  }

  void start(const http::request<http::string_body>& req)
  {
    websocket::stream_base::timeout t{};
    t.handshake_timeout = std::chrono::seconds(10);
    t.idle_timeout = idle;
    t.keep_alive_pings = true;
    ws_.set_option(t);
    ws_.read_message_max(fox_frame_limit);
    ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& res) {
      res.set(http::field::sec_websocket_protocol, fox_subprotocol);
      res.set(http::field::server, "orvane-web");
    }));
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().set_option(asio::socket_base::send_buffer_size(client_sndbuf), ignored);
    ws_.async_accept(req, [self = shared_from_this()](beast::error_code ec) {
      if (ec)
        return;
      self->counted_ = true;
      self->h_.clients++;
      fox_robot& r = self->h_.robot(self->robot_);
      std::erase_if(r.clients, [](const std::weak_ptr<fox_conn>& c) { return c.expired(); });
      if (r.clients.empty()) {
        // Nobody watched until now: no stale events or velocities from the last state seen.
        r.builder.reset();
        r.plan.reset();
        r.plan_serial = 0;
      }
      r.clients.push_back(self);
      std::string name = self->h_.o.name + (self->poller_ ? ": " + self->poller_->address() : "");
      for (std::string& f : self->proto_.hello(name, self->h_.session))
        self->reply(std::move(f));
      self->read();
    });
  }

  bool wants(ch_id c) const { return proto_.wants(c); }

  // A message of a channel: one frame for each of the client's subscriptions to it, all
  // sharing the payload.
  void message(ch_id c, const std::shared_ptr<const std::string>& payload, int64_t t_ns)
  {
    for (uint32_t sub : proto_.subscriptions(c)) {
      if (queued_ > queue_limit) {
        if (dropped_++ == 0)
          reply(fox_status(fox_warning, "messages dropped: this connection is slower than the robot's state rate"));
        continue;
      }
      dropped_ = 0;
      queued_ += payload->size();
      push({fox_message_head(sub, static_cast<uint64_t>(t_ns)), true, payload});
    }
  }

 private:
  struct frame {
    std::array<char, 13> head;
    bool binary;
    std::shared_ptr<const std::string> body;
  };

  void reply(std::string text)
  {
    if (++replies_ > replies_limit) {
      beast::get_lowest_layer(ws_).socket().close();
      return;
    }
    push({{}, false, std::make_shared<const std::string>(std::move(text))});
  }

  void push(frame f)
  {
    if (closed_)
      return;
    queue_.push_back(std::move(f));
    write_next();
  }

  void write_next()
  {
    if (writing_ || queue_.empty() || closed_)
      return;
    writing_ = true;
    const frame& f = queue_.front();  // stays put until its write ends: the deque only grows at the back
    ws_.binary(f.binary);
    std::array<asio::const_buffer, 2> bufs{asio::buffer(f.head.data(), f.binary ? f.head.size() : 0),
                                           asio::buffer(*f.body)};
    ws_.async_write(bufs, [self = shared_from_this()](beast::error_code ec, size_t) {
      self->writing_ = false;
      frame& done = self->queue_.front();
      if (done.binary)
        self->queued_ -= done.body->size();
      else
        self->replies_--;
      self->queue_.pop_front();
      if (ec) {
        self->closed_ = true;
        self->queue_.clear();
        return;
      }
      self->write_next();
    });
  }

  void read()
  {
    ws_.async_read(in_, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) {
        self->closed_ = true;  // closed, timed out, or a frame over the limit
        return;
      }
      std::string data = beast::buffers_to_string(self->in_.data());
      self->in_.consume(self->in_.size());
      fox_client::result r = self->ws_.got_text() ? self->proto_.on_text(data) : self->proto_.on_binary(data);
      self->take(std::move(r));
      self->read();
    });
  }

  void take(fox_client::result r)
  {
    for (std::string& f : r.replies)
      reply(std::move(f));
    for (ch_id c : r.subscribed) {
      std::shared_ptr<const std::string> latched;
      if (c == ch_description)
        latched = h_.description;
      if (c == ch_plan)
        latched = h_.robot(robot_).plan;
      if (latched)
        message(c, latched, now_ns());
    }
    if (!r.command)
      return;
    if (!poller_)
      return reply(fox_status(fox_error, "no robot here to command"));
    web_command cmd = std::move(*r.command);
    std::string what = cmd.what == web_command::stop ? "stop" : "move";
    std::weak_ptr<fox_conn> weak = shared_from_this();
    poller_->submit(std::move(cmd), [weak, what, &ioc = h_.ioc](int status, std::string text) {
      asio::post(ioc, [weak, what, status, text = std::move(text)] {
        if (auto self = weak.lock())
          self->reply(fox_status(status == 200 ? fox_info : fox_error, what + ": " + text));
      });
    });
  }

  static int64_t now_ns()
  {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  }

  fox_hub& h_;
  size_t robot_;
  web_poller* poller_;
  websocket::stream<beast::tcp_stream> ws_;
  beast::flat_buffer in_;
  fox_client proto_;
  std::deque<frame> queue_;
  size_t queued_ = 0;   // bytes of messages waiting
  size_t replies_ = 0;  // answers waiting
  uint64_t dropped_ = 0;
  bool writing_ = false, closed_ = false, counted_ = false;
};

}  // namespace

std::shared_ptr<fox_hub> fox_hub_make(asio::io_context& ioc, fox_hub_opts o)
{
  auto h = std::make_shared<fox_hub>(ioc, std::move(o));
  for (const ch_channel& c : ch_channels()) {
    if ((c.id == ch_plan && !h->o.plans) || (c.id == ch_description && h->o.urdf.empty()) ||
        (c.id == ch_transforms && !h->o.links))
      continue;
    h->channels.push_back(c.id);
  }
  if (!h->o.urdf.empty()) {
    ch_builder b;
    b.set_description(h->o.urdf, h->o.links);
    h->description = std::make_shared<const std::string>(b.message(ch_description));
  }
  using namespace std::chrono;
  h->session = std::to_string(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
  return h;
}

bool fox_active(const fox_hub& h)
{
  return h.clients.load(std::memory_order_relaxed) > 0;
}

void fox_open(fox_hub& h, size_t robot, web_poller* poller, tcp::socket&& sock,
              const http::request<http::string_body>& req)
{
  std::make_shared<fox_conn>(h, robot, poller, std::move(sock))->start(req);
}

void fox_sample(fox_hub& h, size_t robot, web_poller* poller, const web_state& s, double rate, int64_t t_ns)
{
  fox_robot& r = h.robot(robot);
  std::erase_if(r.clients, [](const std::weak_ptr<fox_conn>& c) { return c.expired(); });
  if (r.clients.empty())
    return;
  if (!r.builder) {
    r.builder = std::make_unique<ch_builder>(h.o.joints);
    if (!h.o.urdf.empty())
      r.builder->set_description(h.o.urdf, h.o.links);
  }
  r.builder->update(s, rate, t_ns);
  std::vector<std::shared_ptr<fox_conn>> clients;
  for (auto& w : r.clients)
    if (auto c = w.lock())
      clients.push_back(std::move(c));
  auto send = [&](ch_id id, const std::shared_ptr<const std::string>& msg) {
    for (auto& c : clients)
      if (c->wants(id))
        c->message(id, msg, t_ns);
  };
  auto wanted = [&](ch_id id) {
    return std::any_of(clients.begin(), clients.end(), [id](auto& c) { return c->wants(id); });
  };
  for (ch_id id : {ch_joints, ch_switches, ch_leds, ch_loop, ch_transforms})
    if (wanted(id))
      if (std::string m = r.builder->message(id); !m.empty())
        send(id, std::make_shared<const std::string>(std::move(m)));
  for (const std::string& e : r.builder->events())
    send(ch_events, std::make_shared<const std::string>(e));
  if (s.play.plan != r.plan_serial) {
    r.plan_serial = s.play.plan;
    r.plan.reset();
    if (s.play.plan != 0 && poller)
      if (auto pj = poller->plan()) {
        r.plan = std::make_shared<const std::string>(ch_builder::plan_message(*pj, s.play.name, t_ns));
        send(ch_plan, r.plan);
      }
  }
}
