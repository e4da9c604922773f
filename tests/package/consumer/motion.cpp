// consumer-motion HOST:PORT PROFILE MOTION: plays a motion as the motion library's guide shows
// (docs/motions.md), then prints the moves (started, or left out by a late host) and servo 3's
// goal. Exit status 1 with the library's message on any error.
#include <cstdio>

#include "host/motion/play.h"
#include "orvane.h"

int main(int argc, char** argv)
{
  if (argc != 4) {
    fprintf(stderr, "usage: consumer-motion HOST:PORT PROFILE MOTION\n");
    return 2;
  }
  try {
    orvane::client robot(argv[1]);
    auto prof = orvane::motion::profile_load(argv[2]);
    auto wave = orvane::motion::motion_load(argv[3], prof);   // throws mo_errors
    auto r = orvane::motion::play(robot, wave, {});      // speed, repeat, a stop flag, a callback per move
    printf("moves %zu servo.3.goal %lld\n", r.moves + r.skipped, static_cast<long long>(robot.get("servo.3.goal")));
  } catch (const orvane::error& e) {
    fprintf(stderr, "consumer-motion: %s\n", e.what());
    return 1;
  } catch (const orvane::motion::mo_errors& e) {
    fprintf(stderr, "consumer-motion: %s\n", e.what());
    return 1;
  }
}
