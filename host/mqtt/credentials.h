// The broker account a program logs in with: a file of two lines, the user and the password,
// that only its owner may read. Pure file reading, no state; callable from any thread.
#pragma once

#include <string>

// Reads `path` into user and password. Returns "" on success, else a one-line reason that
// names the file (for "PROGRAM: --credentials ...: why").
std::string mq_read_credentials(const std::string& path, std::string* user, std::string* password);
