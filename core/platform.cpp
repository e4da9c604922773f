#include "core/platform.h"

plat_cfg plat = {
    "/dev/ttyAMA0", "/dev/i2c-1", "/dev/mem", 0x20200000, 6498, "poweroff", nullptr,
    nullptr, nullptr,
};
