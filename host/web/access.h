// Who may use orvane-web: the token every request carries (in the query once, then in a cookie)
// and the listen addresses that need one. Pure functions, no state; callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// A fresh token: 32 hex digits from the kernel's random source.
std::string web_new_token();
// Empty if `token` may be used (it must sit in a URL and a cookie unchanged), else why not.
std::string web_token_problem(std::string_view token);

// "ADDR:PORT", "[V6ADDR]:PORT" or "HOST:PORT" split into host and port; false if malformed.
bool web_split_listen(std::string_view listen, std::string* host, uint16_t* port);
// True when every address the host name stands for is a loopback address.
bool web_is_loopback(const std::string& host);

// The cookie that keeps the token; named after the port, since browsers share cookies between
// the ports of one host.
std::string web_cookie_name(uint16_t port);
// The token a request carries: its query's token=, else the cookie; empty when it has none.
std::string web_request_token(std::string_view target, std::string_view cookie_header,
                              std::string_view cookie_name);
// Compares in time that does not depend on where the two differ.
bool web_token_ok(std::string_view given, std::string_view token);
// The request target without its query ("/app.js?token=x" -> "/app.js").
std::string_view web_path(std::string_view target);
// A query value with its %XX and + decoded ("?motion=my%20wave.yaml" -> "my wave.yaml"); empty
// when the key is missing or the value is not well formed.
std::string web_query(std::string_view target, std::string_view key);
