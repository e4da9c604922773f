#include "core/map.h"

alignas(4) uint8_t mem[MAP_SIZE];
