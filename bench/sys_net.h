// Loopback TCP clients of the monitor (or of any line server): the one loopback connect of the
// benchmark and the tests, and the benchmark's clients that time requests, drive several
// connections at once, or hold many connections open. No shared state; any thread.
#pragma once

#include <string>
#include <vector>

int net_free_port();  // a TCP port on 127.0.0.1 that nothing listens on right now
// A connection to 127.0.0.1:port, blocking or not (then it may still be in progress), with an
// optional small receive buffer set before connecting; -1 on failure.
int net_loopback(int port, bool nonblocking = false, int rcvbuf = 0);
void net_reset(int fd);  // closes with a reset instead of an orderly end
// A blocking connection to 127.0.0.1:port with Nagle off and a receive time-out; -1 on failure.
int net_connect(int port);
// Reads until `lines` more LFs have arrived; false on a time-out or a closed connection.
bool net_lines(int fd, int lines);
// Round-trip times in microseconds of `count` requests of `cmd` (answered by `lines` lines) on
// one connection, after `warmup` untimed ones. Empty if the server stops answering.
std::vector<double> net_rtt(int port, const std::string& cmd, int lines, int count, int warmup);
// Requests per second with `conns` connections, each keeping one request outstanding, over ms.
double net_rate(int port, const std::string& cmd, int lines, int conns, int ms);
// `n` connections that have each received the monitor's banner; fewer if the server refuses.
std::vector<int> net_open_idle(int port, int n);
void net_quit(std::vector<int>& fds);  // sends the quit line on each and closes it
