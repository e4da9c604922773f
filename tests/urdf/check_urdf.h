// urdfdom's own checker, Debian's check_urdf, run on a file: its exit status and what it said.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <utility>

inline std::pair<int, std::string> check_urdf(const std::string& path)
{
  std::string cmd = "/usr/bin/check_urdf '" + path + "' 2>&1";
  FILE* f = popen(cmd.c_str(), "r");
  if (!f)
    return {-1, "cannot run check_urdf"};
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0)
    out.append(buf, n);
  int st = pclose(f);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}
