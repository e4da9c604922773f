#include "bench/sys_broker.h"

#include <unistd.h>

#include <fstream>

#include "bench/sys_proc.h"

namespace {

// Every `from` in `s` becomes `to` (std::regex draws a false uninitialised-use warning from GCC
// under the address sanitizer).
std::string replace_all(std::string s, const std::string& from, const std::string& to)
{
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

}  // namespace

bool broker_files(const std::string& classroom_dir, const std::string& dir, int port)
{
  std::string conf = file_text(classroom_dir + "/orvane.conf");
  std::string acl = file_text(classroom_dir + "/orvane.acl");
  if (conf.empty() || acl.empty())
    return false;
  conf = replace_all(conf, "/etc/mosquitto/", dir + "/");
  conf = replace_all(conf, "\nlistener 1883\n", "\nlistener " + std::to_string(port) + " 127.0.0.1\n");
  // Run as root, mosquitto would become the user "mosquitto", who cannot read this folder.
  if (geteuid() == 0)
    conf += "user root\n";
  std::ofstream(dir + "/orvane.conf") << conf << "log_dest stderr\n";
  std::ofstream(dir + "/orvane.acl") << acl;
  return true;
}
