// The classroom's broker configuration (host/mqtt/classroom) made to run where a test or a
// benchmark starts mosquitto: a folder of its own in place of /etc/mosquitto/ and a loopback
// listener on a given port. No state; any thread.
#pragma once

#include <string>

// Writes dir/orvane.conf and dir/orvane.acl from the files in classroom_dir; the password file
// (dir/orvane.passwd) is the caller's. False when the classroom's files cannot be read.
bool broker_files(const std::string& classroom_dir, const std::string& dir, int port);
