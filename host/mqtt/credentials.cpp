#include "host/mqtt/credentials.h"

#include <sys/stat.h>

#include <fstream>

std::string mq_read_credentials(const std::string& path, std::string* user, std::string* password)
{
  struct stat st{};
  if (stat(path.c_str(), &st) != 0)
    return path + ": cannot be read";
  // The password must not be readable by the other users of a shared PC.
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
    return path + ": others may read it; chmod 600 it first";
  std::ifstream f(path);
  if (!std::getline(f, *user) || !std::getline(f, *password) || user->empty())
    return path + ": wants two lines, the user and the password";
  for (std::string* s : {user, password})
    if (!s->empty() && s->back() == '\r')
      s->pop_back();
  return "";
}
