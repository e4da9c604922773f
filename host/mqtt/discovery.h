// Discovery for home-automation systems: the retained config messages that describe a robot's
// switches (binary sensors), servo positions and loop rate (sensors) in the widely used MQTT
// discovery format, reading the bridge's own state and status topics. Pure functions on values;
// no state, no I/O, callable from any thread (the bridge's).
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/mqtt/topics.h"

constexpr const char* mq_discovery_default = "homeassistant";

// Whether `prefix` may lead the config topics: 1..64 characters, levels of a-z A-Z 0-9 _ -
// separated by single slashes.
bool mq_discovery_prefix_ok(std::string_view prefix);

// Every config message of the robot: (topic, JSON payload), topics
// "PREFIX/binary_sensor/ID/sw_in_N/config", "PREFIX/sensor/ID/servo_N/config" (one per servo of
// the write list) and "PREFIX/sensor/ID/rate/config". An empty retained payload on a topic
// removes that entity.
std::vector<std::pair<std::string, std::string>> mq_discovery(std::string_view prefix,
                                                              const mq_info& info);
