#include "core/platform.h"

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>

plat_cfg plat = {
    "/dev/ttyAMA0", "/dev/i2c-1", "/dev/mem", PLAT_GPIO_BASE, 6498, "poweroff", nullptr,
    nullptr, nullptr, nullptr,
};

int plat_open(const char* path)
{
  int fd = open(path, O_RDWR);
  if (fd < 0) {
    printf("open(%s) failed\n", path);
    exit(1);
  }
  return fd;
}
