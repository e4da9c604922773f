// consumer HOST:PORT: switches servo 1's torque on, moves it to 30 degrees, and prints the tick
// period and the goal it reads back. Exit status 1 with the library's message on any error.
#include <cstdio>

#include "orvane.h"

int main(int argc, char** argv)
{
  if (argc != 2) {
    fprintf(stderr, "usage: consumer HOST:PORT\n");
    return 2;
  }
  try {
    orvane::client robot(argv[1]);
    robot.torque(true, {1});
    robot.move({{1, 30.0}}, 6);
    robot.wait_until_still({1});
    printf("tick_period %lld servo.1.goal %lld\n", static_cast<long long>(robot.get("tick_period")),
           static_cast<long long>(robot.get("servo.1.goal")));
  } catch (const orvane::error& e) {
    fprintf(stderr, "consumer: %s\n", e.what());
    return 1;
  }
}
