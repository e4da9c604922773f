// The page's files, compiled into orvane-web from the bundle the build makes (host/web/page/).
// Read-only data; any thread may read it.
#pragma once

#include <cstddef>
#include <string_view>

struct web_asset {
  const char* url;   // "/", "/app.js", ...
  const char* data;
  std::size_t size;
};

// The table ends with an entry whose url is null.
extern const web_asset web_assets[];

// The asset served at `url`, or nullptr.
const web_asset* web_find_asset(std::string_view url);
// The Content-Type for a url, from its extension.
std::string_view web_content_type(std::string_view url);
