#include "host/mqtt/link.h"

#include <MQTTAsync.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

constexpr int disconnect_ms = 1000;

// The broker's reason code in a failed connection: Paho 1.3 leaves reasonCode at 0 for a
// refusing CONNACK and gives the CONNACK's code as `code` (mosquitto answers a wrong password
// with 0x87, not authorised).
int connack_code(const MQTTAsync_failureData5* f)
{
  if (f == nullptr)
    return 0;
  if (f->reasonCode >= MQTTREASONCODE_UNSPECIFIED_ERROR)
    return f->reasonCode;
  if (f->code >= MQTTREASONCODE_UNSPECIFIED_ERROR && f->code <= 0xFF)
    return f->code;
  return 0;
}

std::string failure_text(const MQTTAsync_failureData5* f, const std::string& user)
{
  if (f == nullptr)
    return "connection failed";
  std::string who = user.empty() ? "without an account (anonymous)" : "as user '" + user + "'";
  switch (int code = connack_code(f)) {
    case 0:
      break;
    case MQTTREASONCODE_BAD_USER_NAME_OR_PASSWORD:
    case MQTTREASONCODE_NOT_AUTHORIZED:
      return "the broker refused the login " + who + ": bad user name or password, or not "
             "authorised (check --credentials)";
    case MQTTREASONCODE_CLIENT_IDENTIFIER_NOT_VALID:
      return "the broker refused this client id";
    default:
      return "the broker refused the connection: " +
             std::string(MQTTReasonCode_toString(static_cast<MQTTReasonCodes>(code)));
  }
  if (f->message != nullptr && *f->message != 0)
    return f->message;
  return std::string("connection failed: ") + MQTTAsync_strerror(f->code);
}

// Paho C opens its socket without TCP_NODELAY and has no option for it: a small publish (an
// event right after the PUBACK of the stop that caused it) then waits for the broker's delayed
// ACK. Set on this process's TCP sockets to the broker's port, once connected.
void nodelay_to(int port)
{
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr)
    return;
  while (dirent* e = readdir(d)) {
    // Only the entries named by a number are descriptors ("." and ".." are not).
    const char* name = e->d_name;
    const char* end = name + strlen(name);
    int fd = -1;
    auto [at, ec] = std::from_chars(name, end, fd);
    if (ec != std::errc() || at != end || fd <= 2 || fd == dirfd(d))
      continue;
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM)
      continue;
    sockaddr_storage peer{};
    len = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0)
      continue;
    int p = peer.ss_family == AF_INET    ? ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port)
            : peer.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port)
                                         : -1;
    int one = 1;
    if (p == port)
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  closedir(d);
}

// The port of a Paho URI ("tcp://h:1883").
int port_of(const std::string& paho)
{
  size_t colon = paho.rfind(':');
  if (colon == std::string::npos)
    return -1;
  const char* end = paho.data() + paho.size();
  int port = -1;
  auto [at, ec] = std::from_chars(paho.data() + colon + 1, end, port);
  return ec == std::errc() && at == end ? port : -1;
}

void add_props(MQTTProperties* to, const mq_link::props& user)
{
  for (const auto& [name, value] : user) {
    MQTTProperty p;
    p.identifier = MQTTPROPERTY_CODE_USER_PROPERTY;
    p.value.data.data = const_cast<char*>(name.data());
    p.value.data.len = static_cast<int>(name.size());
    p.value.value.data = const_cast<char*>(value.data());
    p.value.value.len = static_cast<int>(value.size());
    MQTTProperties_add(to, &p);  // copies
  }
}

}  // namespace

// A publish whose acknowledgement someone waits for.
struct mq_ack {
  mq_link* link;
  std::function<void(std::string)> done;
};

// The library's callbacks, on its own thread.
struct mq_link_cb {
  static void on_acked(void* ctx, MQTTAsync_successData5* resp);
  static void on_not_acked(void* ctx, MQTTAsync_failureData5* resp);
  static void ack_end(mq_ack* a, std::string error);
  static int on_message(void* ctx, char* topic, int topic_len, MQTTAsync_message* m);
  static void on_lost(void* ctx, char* cause);
  static void on_connect_ok(void* ctx, MQTTAsync_successData5*);
  static void on_connect_failed(void* ctx, MQTTAsync_failureData5* resp);
  static void on_disconnected(void* ctx, MQTTProperties* props, MQTTReasonCodes reason);
};

std::string mq_link::paho_uri(const std::string& uri)
{
  std::string scheme, rest;
  if (uri.rfind("mqtt://", 0) == 0)
    scheme = "tcp://", rest = uri.substr(7);
  else if (uri.rfind("mqtts://", 0) == 0)
    scheme = "ssl://", rest = uri.substr(8);
  else
    return "";
  if (rest.empty() || rest.find_first_of("/?# ") != std::string::npos)
    return "";
  bool has_port = rest.back() != ']' && rest.find(':', rest.rfind(']') == std::string::npos
                                                          ? 0 : rest.rfind(']')) != std::string::npos;
  if (!has_port)
    rest += scheme == "ssl://" ? ":8883" : ":1883";
  return scheme + rest;
}

mq_link::mq_link(options o, handlers h) : o_(std::move(o)), h_(std::move(h))
{
  std::string uri = paho_uri(o_.uri);
  if (uri.empty())
    throw std::runtime_error("--broker wants mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not '" +
                             o_.uri + "'");
  MQTTAsync c = nullptr;
  MQTTAsync_createOptions co = MQTTAsync_createOptions_initializer;
  co.sendWhileDisconnected = 0;  // nothing old is sent late
  // MQTT 5, for its subscription option that keeps a message's retained flag as published: the
  // bridge must tell a retained command from a fresh one.
  co.MQTTVersion = MQTTVERSION_5;
  int rc = MQTTAsync_createWithOptions(&c, uri.c_str(), o_.client_id.c_str(),
                                       MQTTCLIENT_PERSISTENCE_NONE, nullptr, &co);
  if (rc != MQTTASYNC_SUCCESS)
    throw std::runtime_error("cannot use broker " + o_.uri + ": " + MQTTAsync_strerror(rc));
  client_ = c;
  MQTTAsync_setCallbacks(c, this, &mq_link_cb::on_lost, &mq_link_cb::on_message, nullptr);
  MQTTAsync_setDisconnected(c, this, &mq_link_cb::on_disconnected);
}

bool mq_link::refused() const
{
  int r = reason();
  return r == MQTTREASONCODE_BAD_USER_NAME_OR_PASSWORD || r == MQTTREASONCODE_NOT_AUTHORIZED ||
         r == MQTTREASONCODE_CLIENT_IDENTIFIER_NOT_VALID || r == MQTTREASONCODE_BANNED ||
         r == MQTTREASONCODE_SESSION_TAKEN_OVER;
}

mq_link::~mq_link()
{
  MQTTAsync c = client_;
  if (MQTTAsync_isConnected(c)) {
    MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer5;
    d.timeout = disconnect_ms;
    MQTTAsync_disconnect(c, &d);
    for (int i = 0; i < disconnect_ms / 10 && MQTTAsync_isConnected(c); i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  MQTTAsync_destroy(&c);
  for (mq_ack* a : acks_)
    delete a;  // never answered: nobody is told any more
}

std::string mq_link::problem() const
{
  std::lock_guard<std::mutex> l(mu_);
  return problem_;
}

void mq_link::connect()
{
  int expected = down_;
  if (!state_.compare_exchange_strong(expected, connecting_))
    return;
  MQTTAsync_connectOptions co = MQTTAsync_connectOptions_initializer5;
  co.keepAliveInterval = o_.keepalive;
  // A clean start, and a session that ends with the connection: the broker keeps nothing for us
  // across a lost link, so no command queued while we were away is delivered after a reconnection.
  co.cleanstart = 1;
  co.connectTimeout = std::max(2, o_.keepalive);
  co.automaticReconnect = 0;  // the bridge's thread reconnects, so it can stop motions first
  co.username = o_.user.empty() ? nullptr : o_.user.c_str();
  co.password = o_.password.empty() ? nullptr : o_.password.c_str();
  MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
  will.topicName = o_.will_topic.c_str();
  will.message = o_.will_payload.c_str();
  will.retained = 1;
  will.qos = 1;
  co.will = o_.will_topic.empty() ? nullptr : &will;
  MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
  if (o_.uri.rfind("mqtts://", 0) == 0) {
    ssl.trustStore = o_.cafile.empty() ? nullptr : o_.cafile.c_str();
    ssl.enableServerCertAuth = 1;
    ssl.verify = 1;  // the certificate must name the host we dialled
    co.ssl = &ssl;
  }
  co.onSuccess5 = &mq_link_cb::on_connect_ok;
  co.onFailure5 = &mq_link_cb::on_connect_failed;
  co.context = this;
  int rc = MQTTAsync_connect(client_, &co);
  if (rc != MQTTASYNC_SUCCESS) {
    {
      std::lock_guard<std::mutex> l(mu_);
      problem_ = MQTTAsync_strerror(rc);
    }
    state_ = down_;
  }
}

void mq_link_cb::on_connect_ok(void* ctx, MQTTAsync_successData5*)
{
  auto* self = static_cast<mq_link*>(ctx);
  {
    std::lock_guard<std::mutex> l(self->mu_);
    self->problem_.clear();
  }
  self->reason_ = 0;
  nodelay_to(port_of(mq_link::paho_uri(self->o_.uri)));
  self->state_ = mq_link::up_;
  self->h_.connected();
}

void mq_link_cb::on_connect_failed(void* ctx, MQTTAsync_failureData5* resp)
{
  auto* self = static_cast<mq_link*>(ctx);
  {
    std::lock_guard<std::mutex> l(self->mu_);
    self->problem_ = failure_text(resp, self->o_.user);
  }
  self->reason_ = connack_code(resp);
  self->state_ = mq_link::down_;
}

// The broker's DISCONNECT, before the connection is lost: its reason is what the log says.
void mq_link_cb::on_disconnected(void* ctx, MQTTProperties*, MQTTReasonCodes reason)
{
  auto* self = static_cast<mq_link*>(ctx);
  self->reason_ = reason;
  std::lock_guard<std::mutex> l(self->mu_);
  self->problem_ = reason == MQTTREASONCODE_SESSION_TAKEN_OVER
                       ? "another client took over this client id (session taken over)"
                       : std::string("the broker disconnected: ") + MQTTReasonCode_toString(reason);
}

void mq_link_cb::on_lost(void* ctx, char* cause)
{
  auto* self = static_cast<mq_link*>(ctx);
  std::string why;
  {
    std::lock_guard<std::mutex> l(self->mu_);
    // The broker's DISCONNECT said why, or the library did; else the broker just closed it.
    why = self->reason_ != 0 && !self->problem_.empty() ? self->problem_
          : cause != nullptr && *cause != 0            ? std::string(cause)
                                                       : "the broker closed the connection";
    self->problem_ = why;
  }
  self->state_ = mq_link::down_;
  self->h_.lost(why);
  MQTTAsync_free(cause);
}

int mq_link_cb::on_message(void* ctx, char* topic, int topic_len, MQTTAsync_message* m)
{
  auto* self = static_cast<mq_link*>(ctx);
  mq_incoming in;
  in.topic = topic_len > 0 ? std::string(topic, topic_len) : std::string(topic);
  in.payload.assign(static_cast<const char*>(m->payload), m->payloadlen);
  in.retained = m->retained != 0;
  for (int i = 0; i < m->properties.count; i++) {
    const MQTTProperty& p = m->properties.array[i];
    if (p.identifier == MQTTPROPERTY_CODE_USER_PROPERTY && in.props.size() < 16)
      in.props.emplace_back(std::string(p.value.data.data, p.value.data.len),
                            std::string(p.value.value.data, p.value.value.len));
  }
  MQTTAsync_freeMessage(&m);
  MQTTAsync_free(topic);
  self->h_.message(std::move(in));
  return 1;
}

bool mq_link::publish(const std::string& topic, const std::string& payload, int qos, bool retained,
                      const props& user)
{
  if (!up())
    return false;
  MQTTAsync_message m = MQTTAsync_message_initializer;
  m.payload = const_cast<char*>(payload.data());
  m.payloadlen = static_cast<int>(payload.size());
  m.qos = qos;
  m.retained = retained ? 1 : 0;
  add_props(&m.properties, user);
  MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
  bool ok = MQTTAsync_sendMessage(client_, topic.c_str(), &m, &r) == MQTTASYNC_SUCCESS;
  MQTTProperties_free(&m.properties);
  return ok;
}

bool mq_link::subscribe(const std::vector<std::string>& topics, int qos)
{
  bool ok = true;
  for (const std::string& t : topics) {
    MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
    r.subscribeOptions.retainAsPublished = 1;
    ok = MQTTAsync_subscribe(client_, t.c_str(), qos, &r) == MQTTASYNC_SUCCESS && ok;
  }
  return ok;
}

void mq_link::disconnect(const std::string& last)
{
  if (!up())
    return;
  MQTTAsync_message m = MQTTAsync_message_initializer;
  m.payload = const_cast<char*>(last.data());
  m.payloadlen = static_cast<int>(last.size());
  m.qos = 1;
  m.retained = 1;
  MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
  if (MQTTAsync_sendMessage(client_, o_.will_topic.c_str(), &m, &r) == MQTTASYNC_SUCCESS)
    MQTTAsync_waitForCompletion(client_, r.token, disconnect_ms);
  MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer5;
  d.timeout = disconnect_ms;
  MQTTAsync_disconnect(client_, &d);
  for (int i = 0; i < disconnect_ms / 10 && MQTTAsync_isConnected(client_); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  state_ = down_;
}

bool mq_link::publish_acked(const std::string& topic, const std::string& payload,
                            std::function<void(std::string error)> done, bool retained,
                            const props& user)
{
  if (!up())
    return false;
  auto* a = new mq_ack{this, std::move(done)};
  {
    std::lock_guard<std::mutex> l(mu_);
    acks_.insert(a);
  }
  MQTTAsync_message m = MQTTAsync_message_initializer;
  m.payload = const_cast<char*>(payload.data());
  m.payloadlen = static_cast<int>(payload.size());
  m.qos = 1;
  m.retained = retained ? 1 : 0;
  add_props(&m.properties, user);
  MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
  r.onSuccess5 = &mq_link_cb::on_acked;
  r.onFailure5 = &mq_link_cb::on_not_acked;
  r.context = a;
  bool sent = MQTTAsync_sendMessage(client_, topic.c_str(), &m, &r) == MQTTASYNC_SUCCESS;
  MQTTProperties_free(&m.properties);
  if (sent)
    return true;
  std::lock_guard<std::mutex> l(mu_);
  acks_.erase(a);
  delete a;
  return false;
}

void mq_link_cb::ack_end(mq_ack* a, std::string error)
{
  {
    std::lock_guard<std::mutex> l(a->link->mu_);
    if (a->link->acks_.erase(a) == 0)
      return;
  }
  a->done(std::move(error));
  delete a;
}

void mq_link_cb::on_acked(void* ctx, MQTTAsync_successData5* resp)
{
  // An MQTT 5 broker answers a publish its rules refuse with a failing reason code.
  std::string error;
  if (resp != nullptr && resp->reasonCode >= MQTTREASONCODE_UNSPECIFIED_ERROR)
    error = std::string("the broker refused it: ") + MQTTReasonCode_toString(resp->reasonCode);
  ack_end(static_cast<mq_ack*>(ctx), error);
}

void mq_link_cb::on_not_acked(void* ctx, MQTTAsync_failureData5* resp)
{
  std::string error = "the broker did not take it";
  if (resp != nullptr && resp->reasonCode >= MQTTREASONCODE_UNSPECIFIED_ERROR)
    error = std::string("the broker refused it: ") + MQTTReasonCode_toString(resp->reasonCode);
  else if (resp != nullptr && resp->message != nullptr && *resp->message != 0)
    error += std::string(": ") + resp->message;
  ack_end(static_cast<mq_ack*>(ctx), error);
}
