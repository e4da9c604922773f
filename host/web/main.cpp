// orvane-web: a live view of one or more robots in any browser. One poller thread per robot
// (poller.h), one I/O thread for every browser (server.h).
#include <csignal>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <unistd.h>

#include "orvane.h"
#include "orvane_version.h"
#include "host/web/access.h"
#include "host/web/classroom.h"
#include "host/web/description.h"
#include "host/web/motions.h"
#include "host/web/poller.h"
#include "host/web/server.h"

// The address to put in the printed URL: the listen address, or this machine's name when it
// listens on every address.
static std::string url_host(const std::string& host)
{
  std::string h = host;
  if (h == "0.0.0.0" || h == "::" || h.empty()) {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0)
      h = name;
  }
  return h.find(':') != std::string::npos ? "[" + h + "]" : h;
}

// Blocks SIGINT and SIGTERM in the threads started next (pollers, the broker's), so that they
// reach the server's handler; returns the mask to restore.
static sigset_t block_stop_signals()
{
  sigset_t stop, old;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, &old);
  return old;
}

// The classroom view: no robot of its own, the room's feed from the broker, the class-wide stop.
static int run_classroom(const std::string& host, uint16_t port, const std::string& token,
                         const web_classroom_opts& o)
{
  signal(SIGPIPE, SIG_IGN);
  std::shared_ptr<web_server> server;
  std::unique_ptr<web_classroom> room;  // ends before the server it publishes to
  try {
    web_options wo;
    wo.host = host, wo.port = port, wo.token = token;
    wo.stop_all = [&room](auto done) { room->stop_all(std::move(done)); };
    wo.room_command = [&room](const std::string& body, auto done) { room->command(body, std::move(done)); };
    server = web_listen(wo);
    sigset_t old = block_stop_signals();
    room = std::make_unique<web_classroom>(o, [server](std::string j) { web_publish(*server, 0, std::move(j)); });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  } catch (const std::invalid_argument& e) {
    fprintf(stderr, "orvane-web: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    fprintf(stderr, "orvane-web: %s\n", e.what());
    return 1;
  }
  fprintf(stderr, "orvane-web: the classroom on %s: open http://%s:%u/?token=%s\n", o.uri.c_str(),
          url_host(host).c_str(), web_port(*server), token.c_str());
  web_serve(*server, {});
  room.reset();
  return 0;
}

static int run(int argc, char** argv)
{
  CLI::App app{"orvane-web: a live view of robots in a browser. It polls each robot at most once\n"
               "per tick over one monitor connection and serves any number of pages. It prints the\n"
               "URL to open, with its access token, on standard error."};
  app.set_version_flag("--version", "orvane-web (orvane) " ORVANE_VERSION);
  std::vector<std::string> robots;
  std::string listen = "127.0.0.1:8080", token, motions_dir, profile;
  double rate = 30;
  auto* robot_opt = app.add_option("-r,--robot", robots, "robot to show, HOST[:PORT] (repeatable; default localhost:6498)")
      ->type_name("HOST[:PORT]");
  app.add_option("-l,--listen", listen, "address and port to serve pages on")
      ->type_name("ADDR:PORT")->capture_default_str();
  // The environment keeps a service's token out of `ps`, which every user can read.
  app.add_option("-t,--token", token,
                 "access token (8 or more letters, digits, - _ . ~); default: a new random one")
      ->type_name("TOKEN")->envname("ORVANE_WEB_TOKEN");
  auto* motions_opt = app.add_option("-m,--motions", motions_dir,
                 "folder of motion files the page may play (default: none; a PC build only)")
      ->type_name("DIR");
  app.add_option("-p,--profile", profile,
                 "robot profile: joint names and soft limits on the page, the robot in 3D from "
                 "its URDF, and for the motions (default: servo ids)")
      ->type_name("FILE")->envname("ORVANE_PROFILE");
  web_classroom_opts room_opts;
  auto* broker = app.add_option("-b,--broker", room_opts.uri,
                 "the classroom view: every robot on this MQTT broker in one page, "
                 "mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (docs/fleet.md)")
      ->type_name("URL");
  app.add_option("--credentials", room_opts.credentials,
                 "with --broker: file of two lines, the broker user (the teacher) and its password (mode 600)")
      ->type_name("FILE")->needs(broker);
  app.add_option("--cafile", room_opts.cafile,
                 "with an mqtts:// broker: the CA that signed its certificate")
      ->type_name("FILE")->needs(broker);
  std::vector<std::string> mirror_map;
  app.add_option("--mirror-map", mirror_map,
                 "FOLLOWER=LEADER: a joint led by another when a page has one robot follow another (or "
                 "one arm of a robot the other: 7-12=1-6); repeatable; default: joints of the same name")
      ->type_name("F=L")->allow_extra_args(false);
  app.add_option("--rate", rate, "most polls per second per robot (never more than one per tick)")
      ->check(CLI::Range(1.0, 1000.0))->capture_default_str();
  robot_opt->excludes(broker);
  motions_opt->excludes(broker);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;  // --help is not an error; every usage error is 2
  }

  std::string host;
  uint16_t port = 0;
  if (!web_split_listen(listen, &host, &port)) {
    fprintf(stderr, "orvane-web: --listen wants ADDR:PORT, such as 127.0.0.1:8080, not '%s'\n",
            listen.c_str());
    return 2;
  }
  if (!token.empty()) {
    if (std::string why = web_token_problem(token); !why.empty()) {
      fprintf(stderr, "orvane-web: bad --token: %s\n", why.c_str());
      return 2;
    }
  } else if (!web_is_loopback(host)) {
    fprintf(stderr,
            "orvane-web: refusing to listen on %s without --token: other machines could reach "
            "it; give a token of your own\n",
            listen.c_str());
    return 2;
  } else {
    token = web_new_token();
    if (token.empty()) {
      fprintf(stderr, "orvane-web: cannot read /dev/urandom for a token; give --token\n");
      return 1;
    }
  }
  std::shared_ptr<const orvane::robot_model> model;  // null: the joints are the servo ids
  std::shared_ptr<const orvane::urdf::ur_model> description;
  if (!profile.empty()) {
    try {
      model = web_profile_load(profile);
      std::vector<std::string> notes;
      description = web_description(profile, &notes);
      for (const std::string& n : notes)
        fprintf(stderr, "orvane-web: warning: %s\n", n.c_str());
    } catch (const std::exception& e) {
      fprintf(stderr, "orvane-web: %s\n", e.what());
      return 2;
    }
  }
  web_motions motions;
  if (!motions_dir.empty()) {
    try {
      motions = web_motions(motions_dir, model);
    } catch (const std::exception& e) {
      fprintf(stderr, "orvane-web: %s\n", e.what());
      return 2;
    }
  }
  if (!room_opts.uri.empty())
    return run_classroom(host, port, token, room_opts);
  if (robots.empty())
    robots.push_back("localhost:" + std::to_string(orvane::default_port));

  // A robot or browser that goes away mid-send must not end the process.
  signal(SIGPIPE, SIG_IGN);
  std::shared_ptr<web_server> server;
  try {
    web_options wo;
    wo.host = host, wo.port = port, wo.token = token, wo.motions = &motions;
    wo.name = "orvane-web (orvane) " ORVANE_VERSION;
    wo.model = model;
    wo.description = description;
    if (description) {
      wo.urdf = description->text();
      wo.links = web_kinematics(description);
    }
    server = web_listen(wo);
  } catch (const std::exception& e) {
    fprintf(stderr, "orvane-web: %s\n", e.what());
    return 1;
  }
  sigset_t old = block_stop_signals();
  std::vector<std::unique_ptr<web_poller>> pollers;
  std::vector<web_poller*> list;
  for (size_t i = 0; i < robots.size(); i++) {
    int index = static_cast<int>(i);
    pollers.push_back(std::make_unique<web_poller>(index, robots[i], rate, [server, index](std::string j) {
      web_publish(*server, index, std::move(j));
    }, motions, model, [server, index](const web_state& s, double rate, int64_t t_ns) {
      web_sample(*server, index, s, rate, t_ns);
    }, [server] { return web_sampling(*server); }, web_mirror_opts{profile, mirror_map}));
    list.push_back(pollers.back().get());
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);

  fprintf(stderr, "orvane-web: open http://%s:%u/?token=%s\n", url_host(host).c_str(),
          web_port(*server), token.c_str());
  web_serve(*server, list);
  pollers.clear();
  return 0;
}

int main(int argc, char** argv)
{
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    fprintf(stderr, "orvane-web: %s\n", e.what());
    return 1;
  }
}
