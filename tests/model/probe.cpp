// The C++ row of the one-model table (test_paths.py): a host program that uses the client
// library and the motion library directly, as a robot builder's own program would.
//   model_probe ROBOT PROFILE move NAME DEG | write ADR VALUE | get NAME | record NAME SECONDS
// Prints what happened; exit status 0 when it went, 1 when it was refused, 2 for a usage error.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "orvane.h"
#include "orvane_model.h"
#include "host/motion/profile.h"
#include "host/motion/record.h"

int main(int argc, char** argv)
{
  if (argc < 5) {
    fprintf(stderr, "usage: model_probe ROBOT PROFILE move|write|get|record ARGS...\n");
    return 2;
  }
  std::string verb = argv[3];
  try {
    auto model = std::make_shared<const orvane::robot_model>(orvane::motion::profile_load(argv[2]));
    orvane::client c(argv[1]);
    c.use_model(model);
    if (verb == "move" && argc == 6) {
      c.move({model->goal(argv[4], std::strtod(argv[5], nullptr))}, 1);
      printf("ok\n");
    } else if (verb == "write" && argc == 6) {
      auto v = static_cast<int16_t>(std::strtol(argv[5], nullptr, 0));
      c.write(static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 0)),
              {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)});
      printf("ok\n");
    } else if (verb == "get" && argc == 5) {
      orvane::named_field f = model->field(argv[4]);
      orvane::position p = model->position_of(c.groups(), c.positions(), f.ref.index, c.get("sv_comm_on") != 0);
      if (p.joint_deg)
        printf("%.1f\n", *p.joint_deg);
      else
        printf("none: %s\n", orvane::reading_why(p.reading).c_str());
    } else if (verb == "record" && argc == 6) {
      auto cols = orvane::motion::record_columns(c, {model->field(argv[4]).ref.label});
      orvane::motion::record(c, cols, std::strtod(argv[5], nullptr), std::cout);
    } else {
      fprintf(stderr, "model_probe: unknown verb or arguments\n");
      return 2;
    }
  } catch (const orvane::out_of_range& e) {
    printf("refused: %s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    fprintf(stderr, "model_probe: %s\n", e.what());
    return 3;
  }
  return 0;
}
