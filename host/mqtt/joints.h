// Joint names of a robot profile by servo id, for the state and info messages. Reads the file
// once at start; callable from any thread. A build without the motion library (the robot's own)
// has no profiles (joints_none.cpp).
#pragma once

#include <map>
#include <string>

// Throws std::runtime_error with every problem of the file.
std::map<int, std::string> mq_joints(const std::string& profile);
