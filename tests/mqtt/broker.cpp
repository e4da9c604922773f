#include "broker.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/sim_process.h"

namespace {

int free_port()
{
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw std::runtime_error("no free port");
  close(fd);
  return ntohs(a.sin_port);
}

std::string slurp(const std::string& path)
{
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Every `from` in `s` becomes `to` (std::regex draws a false uninitialised-use warning from GCC
// under the address sanitizer).
std::string replace_all(std::string s, const std::string& from, const std::string& to)
{
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

// openssl ARGS..., which must succeed.
void openssl(std::vector<std::string> args)
{
  SimProcess p(std::move(args), "/usr/bin/openssl");
  if (p.wait_exit(60s) != 0)
    throw std::runtime_error("openssl failed: " + p.err());
}

}  // namespace

TestPki::TestPki(const TempDir& dir)
    : ca(dir.file("ca.crt")), stranger_ca(dir.file("stranger.crt")), cert(dir.file("broker.crt")),
      misnamed_cert(dir.file("misnamed.crt")), key(dir.file("broker.key"))
{
  const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"};
  auto make_ca = [&](const std::string& crt, const std::string& name) {
    std::vector<std::string> a = {"req", "-x509", "-days", "2", "-subj", "/CN=" + name,
                                  "-keyout", crt + ".key", "-out", crt};
    a.insert(a.begin() + 2, ec.begin(), ec.end());
    openssl(a);
  };
  make_ca(ca, "orvane test CA");
  make_ca(stranger_ca, "a stranger's CA");
  std::vector<std::string> csr = {"req", "-subj", "/CN=broker", "-keyout", key, "-out", key + ".csr"};
  csr.insert(csr.begin() + 1, ec.begin(), ec.end());
  openssl(csr);
  int serial = 0;
  for (auto [crt, san] : {std::pair{cert, "IP:127.0.0.1"}, std::pair{misnamed_cert, "DNS:teacher-pc.invalid"}}) {
    std::string n = std::to_string(++serial);
    openssl({"x509", "-req", "-in", key + ".csr", "-CA", ca, "-CAkey", ca + ".key", "-days", "2",
             "-set_serial", n, "-out", crt,
             "-extfile", dir.file("san" + n + ".ext", "subjectAltName=" + std::string(san) + "\n")});
  }
}

TestBroker::TestBroker(const std::vector<std::pair<std::string, std::string>>& accounts,
                       const tls_files& tls)
    : port_(free_port()), tls_(!tls.cert.empty())
{
  // The classroom's files as they are, with this folder for /etc/mosquitto and a loopback
  // listener on the free port in place of the classroom's network; with TLS, the guide's.
  std::string conf = slurp(ORVANE_CLASSROOM_DIR "/orvane.conf");
  conf = replace_all(conf, "/etc/mosquitto/", dir_.path + "/");
  std::string listener = "\nlistener " + std::to_string(port_) + " 127.0.0.1\n";
  if (tls_)
    listener += "cafile " + tls.ca + "\ncertfile " + tls.cert + "\nkeyfile " + tls.key + "\n";
  conf = replace_all(conf, "\nlistener 1883\n", listener);
  // Run as root, mosquitto would become the user "mosquitto", who cannot read this folder.
  if (geteuid() == 0)
    conf += "user root\n";
  dir_.file("orvane.conf", conf + "log_dest stderr\n");
  dir_.file("orvane.acl", slurp(ORVANE_CLASSROOM_DIR "/orvane.acl"));
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
                   std::vector<std::string> subscriptions, const std::string& cafile)
    : subs_(std::move(subscriptions))
{
  static int n = 0;
  mq_link::options o;
  o.uri = url;
  o.client_id = "test-" + user + "-" + std::to_string(getpid()) + "-" + std::to_string(++n);
  o.user = user;
  o.password = password;
  o.cafile = cafile;
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
