// orvane-mqtt: one robot on an MQTT broker. The bridge (bridge.h) runs on the main thread; a
// signal thread turns SIGINT and SIGTERM into a clean stop ("offline", motions stopped).
#include <csignal>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>

#include "host/mqtt/bridge.h"
#include "host/mqtt/credentials.h"
#include "host/mqtt/discovery.h"
#include "orvane.h"

namespace {

std::mutex stop_mu;                // guards stop_fn and stopping
std::function<void()> stop_fn;     // what a signal does now
bool stopping = false;

void on_stop(std::function<void()> f)
{
  std::lock_guard<std::mutex> l(stop_mu);
  stop_fn = std::move(f);
  if (stopping && stop_fn)
    stop_fn();
}

bool stop_asked()
{
  std::lock_guard<std::mutex> l(stop_mu);
  return stopping;
}

// The robot's name, lower-cased, as the default id. Waits for the robot (a bridge may start
// before the daemon does) until it answers or a signal comes.
std::string id_from_robot(const std::string& robot)
{
  bool told = false;
  while (!stop_asked()) {
    try {
      orvane::client c(robot, mq_bridge::robot_timeout);
      std::string name = c.get_text("robot_name");
      std::string id = mq_id_from_name(name);
      if (id.empty())
        fprintf(stderr, "orvane-mqtt: the robot's name '%s' makes no id; give --id\n",
                name.c_str());
      return id;
    } catch (const orvane::error& e) {
      if (!told)
        fprintf(stderr, "orvane-mqtt: robot %s: %s; waiting for it to learn its name\n",
                robot.c_str(), e.what());
      told = true;
    }
    std::this_thread::sleep_for(mq_bridge::retry);
  }
  return "";
}

int run(int argc, char** argv)
{
  CLI::App app{"orvane-mqtt: puts one robot on an MQTT broker: its presence, description, state\n"
               "and events, and the commands it takes (docs/fleet.md)."};
  app.set_version_flag("--version", "orvane-mqtt (orvane) " ORVANE_VERSION);
  mq_bridge_opts o;
  o.robot = "localhost:" + std::to_string(orvane::default_port);
  o.link.uri = "mqtt://localhost";
  std::string credentials, motions_dir, profile;
  app.add_option("-r,--robot", o.robot, "the robot's monitor, HOST[:PORT]")
      ->type_name("HOST[:PORT]")->capture_default_str();
  app.add_option("-b,--broker", o.link.uri, "the broker, mqtt://HOST[:PORT] or mqtts://HOST[:PORT]")
      ->type_name("URL")->capture_default_str()->envname("ORVANE_MQTT_BROKER");
  app.add_option("--id", o.id, "this robot's id in topics: 1 to 32 of a-z 0-9 _ - "
                               "(default: the robot's name, lower-cased)")
      ->envname("ORVANE_MQTT_ID");
  app.add_option("--credentials", credentials,
                 "file of two lines, the broker user and its password (mode 600)")
      ->type_name("FILE");
  app.add_option("--keepalive", o.link.keepalive,
                 "seconds; the broker says 'offline' within about 1.5 times this after a bridge dies")
      ->check(CLI::Range(2, 600))->capture_default_str();
  app.add_option("--cafile", o.link.cafile, "for mqtts://: the CA that signed the broker's certificate")
      ->type_name("FILE");
  app.add_option("--rate", o.rate, "most state messages per second (one poll of the robot each)")
      ->check(CLI::Range(0.2, 30.0))->capture_default_str();
  app.add_option("--max-age", o.max_age, "seconds a command's ts may differ from this clock")
      ->check(CLI::Range(1.0, 3600.0))->capture_default_str();
  app.add_option("-m,--motions", motions_dir, "folder of motion files that `play` may name")
      ->type_name("DIR");
  app.add_option("-p,--profile", profile, "robot profile: joint names, trims, limits")
      ->type_name("FILE");
  app.add_flag("--allow-poweroff", o.allow_poweroff, "take the poweroff command");
  bool discovery = false;
  std::string discovery_prefix = mq_discovery_default;
  app.add_flag("--discovery", discovery,
               "publish discovery config messages (retained) that describe the switches, servo "
               "positions and loop rate to home-automation systems");
  app.add_option("--discovery-prefix", discovery_prefix, "the discovery messages' topic prefix")
      ->type_name("PREFIX")->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  o.version = "orvane-mqtt " ORVANE_VERSION;
  if (!o.id.empty() && !mq_id_ok(o.id)) {
    fprintf(stderr, "orvane-mqtt: --id '%s': use 1 to 32 of a-z, 0-9, _ and -\n", o.id.c_str());
    return 2;
  }
  if (mq_link::paho_uri(o.link.uri).empty()) {
    fprintf(stderr, "orvane-mqtt: --broker wants mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not '%s'\n",
            o.link.uri.c_str());
    return 2;
  }
  if (!mq_discovery_prefix_ok(discovery_prefix)) {
    fprintf(stderr, "orvane-mqtt: --discovery-prefix '%s': use levels of a-z, A-Z, 0-9, _ and -\n",
            discovery_prefix.c_str());
    return 2;
  }
  if (discovery)
    o.discovery = discovery_prefix;
  if (!o.link.cafile.empty() && o.link.uri.rfind("mqtts://", 0) != 0) {
    fprintf(stderr, "orvane-mqtt: --cafile is for an mqtts:// broker\n");
    return 2;
  }
  if (!credentials.empty()) {
    if (std::string why = mq_read_credentials(credentials, &o.link.user, &o.link.password);
        !why.empty()) {
      fprintf(stderr, "orvane-mqtt: --credentials %s\n", why.c_str());
      return 2;
    }
  }
  // The robot's build has no motion library; the shared one's refusal would name orvane-web.
  if (!motions_dir.empty() && !web_motions::built()) {
    fprintf(stderr, "orvane-mqtt: --motions: the robot's build of orvane-mqtt plays no motions; "
                    "run the PC's orvane-mqtt for this robot to play them\n");
    return 2;
  }
  web_motions motions;
  try {
    if (!profile.empty())
      o.model = web_profile_load(profile);
    if (!motions_dir.empty())
      motions = web_motions(motions_dir, o.model);
  } catch (const std::exception& e) {
    fprintf(stderr, "orvane-mqtt: %s\n", e.what());
    return 2;
  }

  // Signals go to one thread, which asks whatever runs now to stop.
  signal(SIGPIPE, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    int sig = 0;
    sigwait(&set, &sig);
    std::lock_guard<std::mutex> l(stop_mu);
    stopping = true;
    if (stop_fn)
      stop_fn();
  }).detach();

  if (o.id.empty()) {
    o.id = id_from_robot(o.robot);
    if (o.id.empty())
      return stop_asked() ? 0 : 2;
  }
  mq_bridge bridge(o, motions);
  on_stop([&bridge] { bridge.stop(); });
  std::string failure = bridge.run();
  on_stop(nullptr);
  if (!failure.empty()) {
    fprintf(stderr, "orvane-mqtt: broker %s: %s; this bridge stops\n", o.link.uri.c_str(),
            failure.c_str());
    return 3;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv)
{
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    fprintf(stderr, "orvane-mqtt: %s\n", e.what());
    return 1;
  }
}
