# Writes OUT, a C++ source that holds the page's files as byte arrays, so that orvane-web is one
# file. Run as a script: cmake -DOUT=... -DFILES="url=path|url=path..." -P embed.cmake
string(REPLACE "|" ";" FILES "${FILES}")
set(entries "")
set(arrays "")
set(n 0)
foreach(item IN LISTS FILES)
  string(FIND "${item}" "=" eq)
  string(SUBSTRING "${item}" 0 ${eq} url)
  math(EXPR from "${eq} + 1")
  string(SUBSTRING "${item}" ${from} -1 path)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" len)
  math(EXPR size "${len} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
  string(APPEND arrays "static const unsigned char a${n}[] = {\n${bytes}0};\n")
  string(APPEND entries "  {\"${url}\", reinterpret_cast<const char*>(a${n}), ${size}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE "${OUT}.tmp" "// Generated from the page's bundle by host/web/embed.cmake.\n"
  "#include \"host/web/assets.h\"\n\n${arrays}\n"
  "const web_asset web_assets[] = {\n${entries}  {nullptr, nullptr, 0}};\n")
file(RENAME "${OUT}.tmp" "${OUT}")
