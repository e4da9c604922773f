#include "host/web/access.h"

#include <algorithm>
#include <charconv>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>

std::string web_new_token()
{
  unsigned char raw[16] = {};
  std::ifstream f("/dev/urandom", std::ios::binary);
  f.read(reinterpret_cast<char*>(raw), sizeof raw);
  if (!f)
    return "";
  static const char digits[] = "0123456789abcdef";
  std::string t;
  for (unsigned char c : raw) {
    t += digits[c >> 4];
    t += digits[c & 15];
  }
  return t;
}

std::string web_token_problem(std::string_view token)
{
  if (token.size() < 8)
    return "the token must have at least 8 characters";
  for (char c : token) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.' || c == '~';
    if (!ok)
      return "the token may hold only letters, digits and - _ . ~";
  }
  return "";
}

bool web_split_listen(std::string_view listen, std::string* host, uint16_t* port)
{
  size_t colon = listen.rfind(':');
  if (colon == std::string_view::npos || colon == 0)
    return false;
  std::string_view h = listen.substr(0, colon), p = listen.substr(colon + 1);
  if (h.front() == '[') {
    if (h.size() < 3 || h.back() != ']')
      return false;
    h = h.substr(1, h.size() - 2);
  } else if (h.find(':') != std::string_view::npos) {
    return false;  // a bare IPv6 address is ambiguous: it must be bracketed
  }
  if (p.empty() || p.size() > 5)
    return false;
  unsigned long v = 0;
  for (char c : p) {
    if (c < '0' || c > '9')
      return false;
    v = v * 10 + static_cast<unsigned long>(c - '0');
  }
  if (v > 65535)
    return false;
  *host = std::string(h);
  *port = static_cast<uint16_t>(v);
  return true;
}

bool web_is_loopback(const std::string& host)
{
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr)
    return false;
  bool all = true;
  for (addrinfo* a = res; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      auto* in = reinterpret_cast<sockaddr_in*>(a->ai_addr);
      all = all && (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    } else if (a->ai_family == AF_INET6) {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(a->ai_addr);
      all = all && IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
    } else {
      all = false;
    }
  }
  freeaddrinfo(res);
  return all;
}

std::string web_cookie_name(uint16_t port)
{
  return "orvane_web_" + std::to_string(port);
}

// The value of `key` in a list of `key=value` items separated by `sep` (and blanks).
static std::string_view find_item(std::string_view list, char sep, std::string_view key)
{
  while (!list.empty()) {
    size_t end = list.find(sep);
    std::string_view item = list.substr(0, end);
    while (!item.empty() && item.front() == ' ')
      item.remove_prefix(1);
    if (item.size() > key.size() && item.substr(0, key.size()) == key && item[key.size()] == '=')
      return item.substr(key.size() + 1);
    if (end == std::string_view::npos)
      break;
    list.remove_prefix(end + 1);
  }
  return {};
}

std::string web_request_token(std::string_view target, std::string_view cookie_header,
                              std::string_view cookie_name)
{
  size_t q = target.find('?');
  if (q != std::string_view::npos) {
    std::string_view t = find_item(target.substr(q + 1), '&', "token");
    if (!t.empty())
      return std::string(t);
  }
  return std::string(find_item(cookie_header, ';', cookie_name));
}

bool web_token_ok(std::string_view given, std::string_view token)
{
  if (token.empty() || given.size() != token.size())
    return false;
  unsigned diff = 0;
  for (size_t i = 0; i < token.size(); i++)
    diff |= static_cast<unsigned char>(given[i] ^ token[i]);
  return diff == 0;
}

std::string_view web_path(std::string_view target)
{
  return target.substr(0, target.find('?'));
}

std::string web_query(std::string_view target, std::string_view key)
{
  size_t q = target.find('?');
  if (q == std::string_view::npos)
    return "";
  std::string_view v = find_item(target.substr(q + 1), '&', key);
  std::string out;
  for (size_t i = 0; i < v.size(); i++) {
    if (v[i] == '+') {
      out += ' ';
    } else if (v[i] != '%') {
      out += v[i];
    } else {
      unsigned byte = 0;
      auto [end, ec] = std::from_chars(v.data() + i + 1, v.data() + std::min(i + 3, v.size()), byte, 16);
      if (ec != std::errc() || end != v.data() + i + 3)
        return "";
      out += static_cast<char>(byte);
      i += 2;
    }
  }
  return out;
}
