// A folder of a test's own for its files, removed with everything in it when the test ends.
// Owned by the test's thread.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

struct TempDir {
  TempDir()
  {
    char tmpl[] = "/tmp/orvane-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
      throw std::runtime_error("cannot make a folder under /tmp");
    path = tmpl;
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The path of `name` in the folder, written with `text` unless that is empty.
  std::string file(const std::string& name, const std::string& text = "") const
  {
    std::string p = path + "/" + name;
    if (!text.empty())
      std::ofstream(p) << text;
    return p;
  }
  std::string path;
};
