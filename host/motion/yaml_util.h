// Helpers shared by the readers of profiles and motion files: values taken from yaml-cpp nodes
// with every problem collected as "FILE:LINE: FIELD: message". One reader per file; no state.
#pragma once

#include <yaml-cpp/yaml.h>

#include <optional>
#include <string>
#include <vector>

namespace orvane::motion {

struct yaml_reader {
  std::string file;
  std::vector<std::string> errors;
  std::vector<int> lines;  // of each error, 0 for the file as a whole

  void fail(const YAML::Node& at, const std::string& field, const std::string& what);
  void fail_line(int line, const std::string& field, const std::string& what);
  // The whole document; a syntax error is recorded and gives a null node.
  YAML::Node parse(const std::string& text);
  std::optional<double> number(const YAML::Node& n, const std::string& field);
  std::optional<bool> flag(const YAML::Node& n, const std::string& field);
  // Records every key of a map that is not among `known`.
  void only(const YAML::Node& map, const std::string& field, const std::vector<std::string>& known);
  void finish();  // throws mo_errors, in the order of their lines, when anything was recorded
};

std::string mo_read_file(const std::string& path);  // the whole file; mo_errors if unreadable
int yaml_line(const YAML::Node& n);  // 1-based line of a node, 0 if unknown

}  // namespace orvane::motion
