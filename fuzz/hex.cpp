// The hex text helpers on any text: every parser from every starting point against a plain model
// of hex digits, spcut, and the encoders on values taken from the input, each writing into a
// buffer of exactly its width so that a digit too many is ASan's to catch.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz.h"
#include "monitor/str.h"

namespace {

int digit(unsigned char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// What a parse of at most n digits from `s` must give, and how far it must move the cursor.
int32_t model(const char* s, int n, size_t* used)
{
  uint32_t acc = 0;
  size_t k = 0;
  for (; static_cast<int>(k) < n && digit(static_cast<unsigned char>(s[k])) >= 0; k++)
    acc = acc * 16u + static_cast<uint32_t>(digit(static_cast<unsigned char>(s[k])));
  *used = k;
  return k > 0 ? static_cast<int32_t>(acc) : -1;
}

void check_parse(const char* s, int n, int32_t (*parse)(const char**), const char* end)
{
  const char* p = s;
  size_t used;
  int32_t want = model(s, n, &used);
  FUZZ_CHECK(parse(&p) == want);
  FUZZ_CHECK(p == s + used && p <= end);
}

int32_t parse2(const char** pp) { return hex2dec(pp); }

template <size_t W, class T>
void check_enc(void (*enc)(char**, T), uint32_t v)
{
  std::unique_ptr<char[]> buf(new char[W]);
  char* q = buf.get();
  enc(&q, static_cast<T>(v));
  FUZZ_CHECK(q == buf.get() + W);
  uint32_t mask = W == 8 ? 0xFFFFFFFFu : (1u << (4 * W)) - 1;
  uint32_t back = 0;
  for (size_t i = 0; i < W; i++) {
    char c = buf[i];
    FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    back = back * 16u + static_cast<uint32_t>(digit(static_cast<unsigned char>(c)));
  }
  FUZZ_CHECK(back == (v & mask));
}

}  // namespace

int fuzz_hex(const uint8_t* data, size_t size)
{
  // The parsers read zero-terminated text; a copy of exactly that size, so nothing past the
  // terminator can be read unseen.
  std::unique_ptr<char[]> text(new char[size + 1]);
  if (size > 0)  // data may be null for an empty input
    memcpy(text.get(), data, size);
  text[size] = '\0';
  const char* end = text.get() + strlen(text.get());

  for (const char* s = text.get(); s <= end && s < text.get() + 256; s++) {
    check_parse(s, 2, parse2, end);
    check_parse(s, 4, hex4dec, end);
    check_parse(s, 6, hex6dec, end);
    check_parse(s, 8, hex8dec, end);
    for (int16_t n : {int16_t{-1}, int16_t{0}, int16_t{1}, int16_t{3}, int16_t{9}, int16_t{12}}) {
      const char* p = s;
      size_t used;
      int32_t want = model(s, n, &used);
      FUZZ_CHECK(hexndec(&p, n) == want);
      FUZZ_CHECK(p == s + used);
    }
    const char* p = s;
    spcut(&p);
    FUZZ_CHECK(p <= end);
    for (const char* q = s; q < p; q++)
      FUZZ_CHECK(*q == ' ' || *q == '\r' || *q == '\n');
    FUZZ_CHECK(*p != ' ' && *p != '\r' && *p != '\n');
  }

  for (size_t i = 0; i + 4 <= size && i < 256; i += 4) {
    uint32_t v = static_cast<uint32_t>(data[i]) | static_cast<uint32_t>(data[i + 1]) << 8 |
                 static_cast<uint32_t>(data[i + 2]) << 16 |
                 static_cast<uint32_t>(data[i + 3]) << 24;
    check_enc<2, uint8_t>(hex2enc, v);
    check_enc<4, uint16_t>(hex4enc, v);
    check_enc<6, uint32_t>(hex6enc, v);
    check_enc<8, uint32_t>(hex8enc, v);
  }
  for (int c = 0; c < 256; c++)
    FUZZ_CHECK(hex1dec(static_cast<char>(c)) == digit(static_cast<unsigned char>(c)));
  return 0;
}
