// Mirroring in a build without the mirroring library (the robot's own build): refused.
#include "host/web/mirror.h"

struct web_mirror::impl {};

web_mirror::web_mirror(web_mirror_opts) {}
web_mirror::~web_mirror() = default;

bool web_mirror::built() { return false; }

std::string web_mirror::engage(const std::string&, const std::string&, int)
{
  return "this build of orvane-web cannot mirror; mirror from a PC's orvane-web or orvane-ctl";
}

void web_mirror::pause() {}
void web_mirror::end() {}
std::string web_mirror::busy() const { return ""; }
web_mirror_state web_mirror::state() const { return {}; }
