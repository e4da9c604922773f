#include "board/swr.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "core/map.h"
#include "core/platform.h"

volatile uint32_t* gpio;

// Function-select register and field position of a pin (GPIO 0..29 fit the two registers used).
static constexpr int swr_fsel(int pin) { return pin / 10; }
static constexpr int swr_shift(int pin) { return (pin % 10) * 3; }

void gpio_init()
{
  int fd = open(plat.mem_path, O_RDWR | O_SYNC);
  if (fd == -1) {
    puts("error: cannot open /dev/mem");
    exit(-1);
  }
  void* p = mmap(nullptr, GPIO_MAP_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, plat.gpio_base);
  if (p == MAP_FAILED) {
    puts("error: cannot map /dev/mem");
    exit(-1);
  }
  gpio = static_cast<volatile uint32_t*>(p);
  close(fd);
}

// One read-modify-write per pin, so every other pin's function survives as it was read.
void swr_init()
{
  gpio_init();
  for (int pin : swr_gpio) {
    volatile uint32_t* reg = &gpio[swr_fsel(pin)];
    uint32_t v = *reg;
    v &= ~(7u << swr_shift(pin));
    *reg = v;
  }
}

// A pass run before start-up has mapped the block (the control loop's unit tests) leaves sw_in
// alone. Each pin gets its own read of the level register: the five are not one snapshot.
void swr_proc()
{
  if (!gpio)
    return;
  for (int i = 0; i < SWR_COUNT; i++) {
    uint32_t lev = gpio[GPIO_LEV0];
    mem_w16(MAP_SW_IN + 2u * i, (lev >> swr_gpio[i]) & 1u ? 0 : 1);
  }
}
