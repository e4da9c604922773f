#include "host/web/assets.h"

const web_asset* web_find_asset(std::string_view url)
{
  for (const web_asset* a = web_assets; a->url != nullptr; a++)
    if (url == a->url)
      return a;
  return nullptr;
}

std::string_view web_content_type(std::string_view url)
{
  auto ends = [&](std::string_view ext) {
    return url.size() >= ext.size() && url.substr(url.size() - ext.size()) == ext;
  };
  if (ends(".js"))
    return "text/javascript; charset=utf-8";
  if (ends(".css"))
    return "text/css; charset=utf-8";
  if (ends(".svg"))
    return "image/svg+xml";
  if (ends(".png"))
    return "image/png";
  return "text/html; charset=utf-8";
}
