// A build without the MQTT client (the robot's): orvane-web has no classroom view.
#include <stdexcept>

#include "host/web/classroom.h"

struct web_classroom::impl {};

// The signatures are the real view's, which keeps what it is given.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
web_classroom::web_classroom(const web_classroom_opts&, publish_fn)
{
  throw std::runtime_error("--broker: this build of orvane-web has no classroom view "
                           "(it was built without the MQTT client)");
}

web_classroom::~web_classroom() = default;

// NOLINTNEXTLINE(performance-unnecessary-value-param)
void web_classroom::stop_all(done_fn done)
{
  done(503, "no classroom view in this build");
}

// NOLINTNEXTLINE(performance-unnecessary-value-param)
void web_classroom::command(const std::string&, done_fn done)
{
  done(503, "no classroom view in this build");
}
