// Motion playback for the page. The motion library is not part of this build yet, so there is
// nothing to offer: the page hides its playlist and "play" names no motion. Linking the library
// in means listing its motion files here and playing one through it.
#include "tools/web/command.h"
#include "orvane.h"

bool web_motion_available()
{
  return false;
}

std::vector<std::string> web_motion_list()
{
  return {};
}

void web_motion_play(orvane::client&, const std::string& name)
{
  throw orvane::error("cannot play " + name + ": this build has no motion playback");
}
