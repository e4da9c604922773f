#include "host/web/server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <array>
#include <charconv>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "host/urdf/description.h"
#include "host/web/access.h"
#include "host/web/assets.h"
#include "host/web/command.h"
#include "host/web/fox.h"
#include "host/web/fox_ws.h"
#include "host/web/motions.h"
#include "host/web/poller.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using request = http::request<http::string_body>;
using response = http::response<http::string_body>;

namespace {

constexpr size_t header_limit = size_t{8} * 1024;
constexpr size_t body_limit = size_t{16} * 1024;        // a command is a few dozen bytes
constexpr size_t ws_message_limit = size_t{4} * 1024;   // pages send nothing but pongs
constexpr size_t drain_limit = size_t{1024} * 1024;
constexpr int page_sndbuf = 16 * 1024;  // the kernel doubles it: some 30 states of 1 KiB
constexpr auto http_timeout = std::chrono::seconds(30);
constexpr auto ws_idle = std::chrono::seconds(20);  // a page that stops answering pings is dropped

class page;

}  // namespace

// One robot as the pages see it: its newest state and the pages that watch it.
struct robot_slot {
  std::shared_ptr<const std::string> latest;
  std::vector<std::weak_ptr<page>> pages;
};

struct web_server {
  // Declared first so that it goes last: the Foxglove clients that the context's handlers hold
  // still count themselves out of it as the context goes.
  std::shared_ptr<fox_hub> fox;
  asio::io_context ioc{1};
  tcp::acceptor acceptor{ioc};
  std::string token, cookie;
  uint16_t port = 0;
  const web_motions* motions = nullptr;
  std::shared_ptr<const orvane::urdf::ur_model> description;
  decltype(web_options::stop_all) stop_all;  // set in the classroom view
  decltype(web_options::room_command) room_command;
  std::vector<web_poller*> robots;
  std::vector<robot_slot> slots;

  robot_slot& slot(size_t i)
  {
    if (slots.size() <= i)
      slots.resize(i + 1);
    return slots[i];
  }
};

namespace {

// A page's WebSocket: it gets the newest state of its robot, never a queue of old ones. While a
// send is under way only the newest state waits, so a slow browser costs one message of memory.
class page : public std::enable_shared_from_this<page> {
 public:
  page(web_server& s, size_t robot, tcp::socket&& sock) : s_(s), robot_(robot), ws_(std::move(sock)) {}

  void start(const request& req)
  {
    websocket::stream_base::timeout t{};
    t.handshake_timeout = std::chrono::seconds(10);
    t.idle_timeout = ws_idle;
    t.keep_alive_pings = true;
    ws_.set_option(t);
    ws_.read_message_max(ws_message_limit);
    // A fixed, small send buffer: the kernel would otherwise grow it to megabytes for a slow
    // reader, and a backlog of old states would wait there instead of here.
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().set_option(asio::socket_base::send_buffer_size(page_sndbuf), ignored);
    ws_.async_accept(req, [self = shared_from_this()](beast::error_code ec) {
      if (ec)
        return;
      robot_slot& r = self->s_.slot(self->robot_);
      r.pages.push_back(self);
      if (r.latest)
        self->push(r.latest);
      self->read();
    });
  }

  void push(std::shared_ptr<const std::string> msg)
  {
    if (sending_) {
      waiting_ = std::move(msg);
      return;
    }
    sending_ = true;
    current_ = std::move(msg);
    ws_.text(true);
    ws_.async_write(asio::buffer(*current_), [self = shared_from_this()](beast::error_code ec, size_t) {
      self->sending_ = false;
      self->current_.reset();
      if (ec || !self->waiting_)
        return;
      self->push(std::exchange(self->waiting_, nullptr));
    });
  }

 private:
  void read()
  {
    ws_.async_read(in_, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec)
        return;  // closed, timed out or refused: the last reference goes with this handler
      self->in_.clear();
      self->read();
    });
  }

  web_server& s_;
  size_t robot_;
  websocket::stream<beast::tcp_stream> ws_;
  beast::flat_buffer in_;
  bool sending_ = false;
  std::shared_ptr<const std::string> current_, waiting_;
};

response reply(const request& req, http::status st, std::string_view type, std::string body)
{
  response r{st, req.version()};
  r.set(http::field::server, "orvane-web");
  r.set(http::field::content_type, type);
  r.set(http::field::cache_control, "no-store");
  r.set("X-Content-Type-Options", "nosniff");
  r.set("Content-Security-Policy",
        "default-src 'self'; connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
  r.keep_alive(req.keep_alive());
  r.body() = std::move(body);
  r.prepare_payload();
  return r;
}

response text(const request& req, http::status st, std::string msg)
{
  return reply(req, st, "text/plain; charset=utf-8", std::move(msg) + "\n");
}

response json_reply(const request& req, http::status st, const nlohmann::json& j)
{
  // File names and motion files may hold invalid UTF-8: replaced, never an exception.
  return reply(req, st, "application/json", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

// A request that changes something, or opens a page's feed, must come from our own page: a
// browser names the page's origin, which must be this server.
bool same_origin(const request& req)
{
  auto o = req.find(http::field::origin);
  if (o == req.end())
    return true;  // not sent by a browser's page script
  auto h = req.find(http::field::host);
  if (h == req.end())
    return false;
  std::string_view origin = o->value(), host = h->value();
  return origin == "http://" + std::string(host) || origin == "https://" + std::string(host);
}

// "/ws/3" -> 3; -1 when not a page feed of an existing robot.
int feed_robot(std::string_view path, size_t robots)
{
  constexpr std::string_view prefix = "/ws/";
  if (path.substr(0, prefix.size()) != prefix)
    return -1;
  std::string_view n = path.substr(prefix.size());
  int v = -1;
  auto [end, ec] = std::from_chars(n.data(), n.data() + n.size(), v);
  if (ec != std::errc() || end != n.data() + n.size() || v < 0 || static_cast<size_t>(v) >= robots)
    return -1;
  return v;
}

// "/foxglove" -> 0, "/foxglove/3" -> 3; -1 when not a Foxglove endpoint of an existing robot.
int fox_robot(std::string_view path, size_t robots)
{
  if (path == "/foxglove")
    return robots > 0 ? 0 : -1;
  constexpr std::string_view prefix = "/foxglove/";
  if (path.substr(0, prefix.size()) != prefix)
    return -1;
  return feed_robot("/ws/" + std::string(path.substr(prefix.size())), robots);
}

// One browser connection: requests one after another; a feed request turns it into a page.
class visitor : public std::enable_shared_from_this<visitor> {
 public:
  visitor(web_server& s, tcp::socket&& sock) : s_(s), stream_(std::move(sock)) {}

  void read()
  {
    parser_.emplace();
    parser_->header_limit(header_limit);
    parser_->body_limit(body_limit);
    stream_.expires_after(http_timeout);
    http::async_read(stream_, buf_, *parser_, [self = shared_from_this()](beast::error_code ec, size_t) {
      self->on_request(ec);
    });
  }

 private:
  void on_request(beast::error_code ec)
  {
    if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::eof ||
        ec == asio::error::connection_reset)
      return close();
    if (ec) {
      // Malformed or oversized: answered, then the connection ends, since its framing is lost.
      request none;
      none.version(11);
      none.keep_alive(false);
      bool big = ec == http::error::body_limit || ec == http::error::header_limit ||
                 ec == http::error::buffer_overflow;
      return send(text(none, big ? http::status::payload_too_large : http::status::bad_request,
                       big ? "request too large" : "bad request"));
    }
    request req = parser_->release();
    std::string cookie;
    if (auto c = req.find(http::field::cookie); c != req.end())
      cookie = std::string(c->value());
    std::string_view target = req.target();
    std::string given = web_request_token(target, cookie, s_.cookie);
    if (!web_token_ok(given, s_.token))
      return send(text(req, http::status::forbidden, "forbidden"));
    std::string_view path = web_path(target);

    if (websocket::is_upgrade(req) && web_path(target).substr(0, 9) == "/foxglove")
      return foxglove(req, target);
    if (websocket::is_upgrade(req)) {
      int robot = feed_robot(path, s_.stop_all ? 1 : s_.robots.size());
      if (robot < 0)
        return send(text(req, http::status::not_found, "no such feed"));
      if (!same_origin(req))
        return send(text(req, http::status::forbidden, "forbidden"));
      stream_.expires_never();
      std::make_shared<page>(s_, static_cast<size_t>(robot), stream_.release_socket())->start(req);
      return;
    }
    if (req.method() == http::verb::get || req.method() == http::verb::head) {
      // The token came in the URL: keep it in a cookie and show the page without it.
      if (path == "/" && target.find("token=") != std::string_view::npos) {
        response r = text(req, http::status::see_other, "see /");
        r.set(http::field::location, "/");
        r.set(http::field::set_cookie,
              s_.cookie + "=" + s_.token + "; Path=/; HttpOnly; SameSite=Strict");
        return send(std::move(r));
      }
      if (path == "/" && s_.stop_all)
        path = "/room.html";
      if (path == "/api/robots")
        return send(json_reply(req, http::status::ok, robots_json()));
      if (path == "/api/motions")
        return send(json_reply(req, http::status::ok, motions_json()));
      if (path == "/api/plan" || path == "/api/preview" || path == "/api/urdf") {
        response r = path == "/api/plan"      ? plan_reply(req)
                     : path == "/api/preview" ? preview_reply(req)
                                              : urdf_reply(req);
        if (req.method() == http::verb::head)
          r.body().clear();
        return send(std::move(r));
      }
      if (const web_asset* a = web_find_asset(path)) {
        response r = reply(req, http::status::ok, web_content_type(path), std::string(a->data, a->size));
        if (req.method() == http::verb::head)
          r.body().clear();  // the length stays that of the body a GET would get
        return send(std::move(r));
      }
      return send(text(req, http::status::not_found, "not found"));
    }
    if (req.method() == http::verb::post) {
      if (path == "/api/stop-all" && s_.stop_all)
        return stop_all(std::move(req));
      if (path == "/api/room/command" && s_.room_command)
        return room_command(std::move(req));
      if (path != "/api/command")
        return send(text(req, http::status::not_found, "not found"));
      return command(std::move(req));
    }
    response r = text(req, http::status::method_not_allowed, "method not allowed");
    r.set(http::field::allow, "GET, HEAD, POST");
    send(std::move(r));
  }

  // A Foxglove client (docs/ecosystem.md). It is no page of ours, so its origin may be any
  // other, but then only with the token in its URL: a cookie alone would let any site that a
  // browser visits reach the robot.
  void foxglove(const request& req, std::string_view target)
  {
    int robot = s_.stop_all ? -1 : fox_robot(web_path(target), s_.robots.size());
    if (robot < 0)
      return send(text(req, http::status::not_found, "no such endpoint"));
    if (!same_origin(req) && !web_token_ok(web_request_token(target, "", s_.cookie), s_.token))
      return send(text(req, http::status::forbidden, "forbidden: give the token in the URL"));
    auto p = req.find(http::field::sec_websocket_protocol);
    if (p == req.end() || !fox_offered(p->value()))
      return send(text(req, http::status::bad_request,
                       "offer the subprotocol " + std::string(fox_subprotocol)));
    stream_.expires_never();
    fox_open(*s_.fox, static_cast<size_t>(robot), s_.robots[static_cast<size_t>(robot)],
             stream_.release_socket(), req);
  }

  nlohmann::json robots_json() const
  {
    nlohmann::json list = nlohmann::json::array();
    for (size_t i = 0; i < s_.robots.size(); i++)
      list.push_back({{"index", i}, {"address", s_.robots[i]->address()}});
    return {{"robots", list}};
  }

  // The folder is read afresh, so a motion saved meanwhile shows when the page asks again.
  nlohmann::json motions_json() const
  {
    nlohmann::json list = nlohmann::json::array();
    if (s_.motions)
      for (const web_motion_info& m : s_.motions->list())
        list.push_back({{"name", m.name}, {"description", m.description},
                        {"seconds", m.seconds}, {"problem", m.problem}});
    return {{"offered", s_.motions && s_.motions->offered()}, {"motions", list}};
  }

  // "robot=N" of a request's target (0 without one); past the robots' end when it is no number.
  size_t robot_of(std::string_view target) const
  {
    size_t robot = 0;
    if (size_t at = target.find("robot="); at != std::string_view::npos) {
      std::string_view n = target.substr(at + 6);
      n = n.substr(0, n.find('&'));
      auto [end, ec] = std::from_chars(n.data(), n.data() + n.size(), robot);
      if (ec != std::errc() || end != n.data() + n.size())
        robot = s_.robots.size();
    }
    return robot;
  }

  // GET /api/plan?robot=N: the planned curve of the motion playing there, fetched once by each
  // page when the state names a new one, so that no state carries it.
  response plan_reply(const request& req) const
  {
    size_t robot = robot_of(req.target());
    if (robot >= s_.robots.size())
      return text(req, http::status::not_found, "no such robot");
    std::shared_ptr<const std::string> plan = s_.robots[robot]->plan();
    if (!plan)
      return text(req, http::status::not_found, "no motion is playing");
    return reply(req, http::status::ok, "application/json", *plan);
  }

  // GET /api/preview?robot=N&motion=NAME: the planned curve of a motion of the playlist as it
  // would play from where the robot's goals are now, for the page to show before it plays.
  response preview_reply(const request& req) const
  {
    size_t robot = robot_of(req.target());
    if (robot >= s_.robots.size())
      return text(req, http::status::not_found, "no such robot");
    std::shared_ptr<const web_state> now = s_.robots[robot]->state();
    if (!now || !now->connected)
      return text(req, http::status::service_unavailable, "the robot has not been read yet");
    std::vector<std::pair<int, int>> goals;
    for (const web_servo& sv : now->servos)
      goals.emplace_back(sv.id, sv.goal);
    try {
      if (!s_.motions)
        throw std::invalid_argument("no motions on offer");
      return reply(req, http::status::ok, "application/json",
                   s_.motions->preview(web_query(req.target(), "motion"), goals, now->tick_period));
    } catch (const std::invalid_argument& e) {
      return text(req, http::status::not_found, e.what());
    } catch (const std::exception& e) {
      return text(req, http::status::bad_request, e.what());
    }
  }

  // GET /api/urdf: the robot's description, as the file has it (primitive shapes; meshes are
  // not served).
  response urdf_reply(const request& req) const
  {
    if (!s_.description)
      return text(req, http::status::not_found, "no robot description: orvane-web was started without --profile");
    return reply(req, http::status::ok, "application/xml; charset=utf-8", s_.description->text());
  }

  // POST /api/command?robot=N with a JSON body; answered once the robot's poller has run it.
  void command(request req)
  {
    if (!same_origin(req))
      return send(text(req, http::status::forbidden, "forbidden"));
    std::string_view target = req.target();
    size_t robot = robot_of(target);
    if (robot >= s_.robots.size())
      return send(text(req, http::status::not_found, "no such robot"));
    auto parsed = web_parse_command(req.body());
    if (auto* why = std::get_if<std::string>(&parsed))
      return send(json_reply(req, http::status::bad_request, {{"error", *why}}));
    web_command cmd = std::get<web_command>(std::move(parsed));
    if (cmd.what == web_command::mirror && cmd.action == "engage") {
      // The leader is one of the robots this server shows, named by its index.
      if (static_cast<size_t>(cmd.leader) >= s_.robots.size())
        return send(json_reply(req, http::status::not_found, {{"error", "no robot " + std::to_string(cmd.leader)}}));
      cmd.leader_address = s_.robots[static_cast<size_t>(cmd.leader)]->address();
    }
    s_.robots[robot]->submit(std::move(cmd), later(std::move(req)));
  }

  // The answer to a request that another thread carries out, posted back to this one: 200 is
  // {"ok":true}, anything else {"error":text}.
  std::function<void(int, std::string)> later(request req)
  {
    auto self = shared_from_this();
    auto keep = std::make_shared<request>(std::move(req));
    return [self, keep](int status, std::string msg) {
      asio::post(self->s_.ioc, [self, keep, status, msg = std::move(msg)] {
        auto st = static_cast<http::status>(status);
        nlohmann::json j = status == 200 ? nlohmann::json{{"ok", true}} : nlohmann::json{{"error", msg}};
        self->send(json_reply(*keep, st, j));
      });
    };
  }

  // POST /api/stop-all: answered once the broker has taken the class-wide stop, or refused it.
  void stop_all(request req)
  {
    if (!same_origin(req))
      return send(text(req, http::status::forbidden, "forbidden"));
    s_.stop_all(later(std::move(req)));
  }

  // POST /api/room/command: some robots' stop, identify or play, answered once the broker has
  // taken them.
  void room_command(request req)
  {
    if (!same_origin(req))
      return send(text(req, http::status::forbidden, "forbidden"));
    std::string body = req.body();
    s_.room_command(std::move(body), later(std::move(req)));
  }

  void send(response r)
  {
    auto res = std::make_shared<response>(std::move(r));
    stream_.expires_after(http_timeout);
    http::async_write(stream_, *res, [self = shared_from_this(), res](beast::error_code ec, size_t) {
      if (ec || !res->keep_alive())
        return self->close();
      self->read();
    });
  }

  void close()
  {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    drain(0);
  }

  // Reads what the browser still sends (the rest of a refused body) until it closes, for a
  // while: closing with unread bytes would reset the connection under the answer.
  void drain(size_t total)
  {
    if (total > drain_limit)
      return;
    stream_.expires_after(std::chrono::seconds(2));
    stream_.async_read_some(asio::buffer(scratch_), [self = shared_from_this(), total](beast::error_code ec, size_t n) {
      if (!ec)
        self->drain(total + n);
    });
  }

  web_server& s_;
  beast::tcp_stream stream_;
  beast::flat_buffer buf_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::array<char, 4096> scratch_;
};

void accept(web_server& s)
{
  s.acceptor.async_accept([&s](beast::error_code ec, tcp::socket sock) {
    if (!ec)
      std::make_shared<visitor>(s, std::move(sock))->read();
    accept(s);
  });
}

}  // namespace

std::shared_ptr<web_server> web_listen(const web_options& o)
{
  auto s = std::make_shared<web_server>();
  s->token = o.token;
  s->motions = o.motions;
  s->description = o.description;
  s->stop_all = o.stop_all;
  s->room_command = o.room_command;
  s->fox = fox_hub_make(s->ioc, {o.name, o.model, o.urdf, o.links, o.motions && o.motions->offered()});
  beast::error_code ec;
  tcp::resolver res(s->ioc);
  auto eps = res.resolve(o.host, std::to_string(o.port), tcp::resolver::passive, ec);
  if (ec || eps.empty())
    throw std::runtime_error("cannot resolve " + o.host + ": " + ec.message());
  tcp::endpoint ep = eps.begin()->endpoint();
  s->acceptor.open(ep.protocol(), ec);
  if (!ec)
    s->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec)
    s->acceptor.bind(ep, ec);
  if (!ec)
    s->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec)
    throw std::runtime_error("cannot listen on " + o.host + ":" + std::to_string(o.port) + ": " +
                             ec.message());
  s->port = s->acceptor.local_endpoint().port();
  s->cookie = web_cookie_name(s->port);
  return s;
}

uint16_t web_port(const web_server& s)
{
  return s.port;
}

void web_publish(web_server& s, int robot, std::string json)
{
  auto msg = std::make_shared<const std::string>(std::move(json));
  asio::post(s.ioc, [&s, robot, msg] {
    robot_slot& r = s.slot(static_cast<size_t>(robot));
    r.latest = msg;
    std::erase_if(r.pages, [](const std::weak_ptr<page>& p) { return p.expired(); });
    for (auto& w : r.pages)
      if (auto p = w.lock())
        p->push(msg);
  });
}

void web_sample(web_server& s, int robot, const web_state& state, double rate, int64_t t_ns)
{
  if (!fox_active(*s.fox))
    return;
  auto st = std::make_shared<const web_state>(state);
  asio::post(s.ioc, [&s, robot, st, rate, t_ns] {
    auto i = static_cast<size_t>(robot);
    fox_sample(*s.fox, i, i < s.robots.size() ? s.robots[i] : nullptr, *st, rate, t_ns);
  });
}

bool web_sampling(const web_server& s)
{
  return fox_active(*s.fox);
}

void web_serve(web_server& s, const std::vector<web_poller*>& robots)
{
  s.robots = robots;
  asio::signal_set stop(s.ioc, SIGINT, SIGTERM);
  stop.async_wait([&s](beast::error_code, int) { s.ioc.stop(); });
  accept(s);
  s.ioc.run();
}
