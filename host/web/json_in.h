// The one reader of JSON from outside the host tools (HTTP bodies, MQTT commands and states): it
// bounds size and nesting before anything walks the value, so no body can make the walk run deep
// enough to overflow a thread's stack. Pure; callable from any thread.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <variant>

struct json_in_limits {
  size_t bytes = size_t{16} * 1024;  // longest text taken
  int depth = 8;                     // deepest nesting of arrays and objects taken
};

// The value of `text`, or why it is refused: "more than N bytes", "nested deeper than N", "not
// JSON". Nesting is counted by a scan outside strings before the parser runs.
std::variant<nlohmann::json, std::string> json_in(std::string_view text, json_in_limits l = {});

// The member `key` of an object, or null when `j` is not an object or lacks it. Never inserts
// and never reads past a missing key, unlike operator[] on a const value.
const nlohmann::json& json_at(const nlohmann::json& j, std::string_view key);
