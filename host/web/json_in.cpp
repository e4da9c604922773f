#include "host/web/json_in.h"

using nlohmann::json;

namespace {

// The deepest nesting of brackets and braces outside strings, scanning no further than a depth
// over `limit`. Malformed text is the parser's to refuse; this only has to count what it would.
int depth_of(std::string_view text, int limit)
{
  int depth = 0, deepest = 0;
  bool in_string = false, escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        in_string = false;
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest && (deepest = depth) > limit)
        return deepest;
    } else if ((c == ']' || c == '}') && depth > 0) {
      depth--;
    }
  }
  return deepest;
}

}  // namespace

std::variant<json, std::string> json_in(std::string_view text, json_in_limits l)
{
  if (text.size() > l.bytes)
    return "more than " + std::to_string(l.bytes) + " bytes";
  if (depth_of(text, l.depth) > l.depth)
    return "nested deeper than " + std::to_string(l.depth);
  json j = json::parse(text, nullptr, false);
  if (j.is_discarded())
    return std::string("not JSON");
  return j;
}

const json& json_at(const json& j, std::string_view key)
{
  static const json none;
  if (!j.is_object())
    return none;
  auto it = j.find(key);
  return it != j.end() ? *it : none;
}
