#include "monitor/str.h"

const char hex1enc[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                          '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

int16_t hex1dec(char dt)
{
  // As a byte 0..255, so that no byte above 0x7F can pass for a digit.
  unsigned char c = static_cast<unsigned char>(dt);
  if (c >= '0' && c <= '9')
    return static_cast<int16_t>(c - '0');
  if (c >= 'A' && c <= 'F')
    return static_cast<int16_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f')
    return static_cast<int16_t>(c - 'a' + 10);
  return -1;
}

int32_t hexndec(const char** pp, int16_t n)
{
  // Unsigned accumulation with a separate "any digit" flag: eight f's give the pattern of -1 and
  // longer fields wrap instead of overflowing a signed value.
  uint32_t acc = 0;
  bool any = false;
  for (; n > 0; n--) {
    int16_t d = hex1dec(**pp);
    if (d < 0)  // the terminating zero is no digit either
      break;
    (*pp)++;
    acc = acc * 16u + static_cast<uint32_t>(d);
    any = true;
  }
  return any ? static_cast<int32_t>(acc) : -1;
}

int16_t hex2dec(const char** pp) { return static_cast<int16_t>(hexndec(pp, 2)); }
int32_t hex4dec(const char** pp) { return hexndec(pp, 4); }
int32_t hex6dec(const char** pp) { return hexndec(pp, 6); }
int32_t hex8dec(const char** pp) { return hexndec(pp, 8); }

static void hexenc(char** pp, uint32_t dt, int digits)
{
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
    *(*pp)++ = hex1enc[(dt >> shift) & 0xF];
}

void hex2enc(char** pp, uint8_t dt) { hexenc(pp, dt, 2); }
void hex4enc(char** pp, uint16_t dt) { hexenc(pp, dt, 4); }
void hex6enc(char** pp, uint32_t dt) { hexenc(pp, dt, 6); }
void hex8enc(char** pp, uint32_t dt) { hexenc(pp, dt, 8); }

void spcut(const char** pp)
{
  while (**pp == ' ' || **pp == '\r' || **pp == '\n')
    (*pp)++;
}
