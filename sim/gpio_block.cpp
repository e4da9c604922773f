#include "sim/gpio_block.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "board/swr.h"

gpio_block::~gpio_block()
{
  if (page_)
    munmap(page_, GPIO_MAP_SIZE);
}

bool gpio_block::init(const std::string& path, off_t base)
{
  path_ = path;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    fprintf(stderr, "orvane-sim: cannot make %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  // Only the one page is ever written, so the file takes no room for the gap below it.
  void* p = MAP_FAILED;
  if (ftruncate(fd, base + GPIO_MAP_SIZE) == 0)
    p = mmap(nullptr, GPIO_MAP_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, base);
  int err = errno;
  close(fd);
  if (p == MAP_FAILED) {
    fprintf(stderr, "orvane-sim: cannot map %s: %s\n", path.c_str(), strerror(err));
    return false;
  }
  page_ = static_cast<uint32_t*>(p);
  __atomic_store_n(&page_[GPIO_FSEL0], GPIO_FSEL0_PRESET, __ATOMIC_RELAXED);
  __atomic_store_n(&page_[GPIO_FSEL2], GPIO_FSEL2_PRESET, __ATOMIC_RELAXED);
  // Switch pins high (open); the pins beside them low, so a daemon that read a neighbouring bit
  // would show a closed switch.
  uint32_t lev = 0;
  for (int pin : swr_gpio)
    lev |= 1u << pin;
  __atomic_store_n(&page_[GPIO_LEV0], lev, __ATOMIC_RELAXED);
  return true;
}

void gpio_block::set_level(int pin, bool high)
{
  if (pin < 0 || pin > 31)
    return;
  uint32_t bit = 1u << pin;
  if (high)
    __atomic_fetch_or(&page_[GPIO_LEV0], bit, __ATOMIC_RELAXED);
  else
    __atomic_fetch_and(&page_[GPIO_LEV0], ~bit, __ATOMIC_RELAXED);
}

void gpio_block::set_switch(int n, bool closed)
{
  if (n >= 0 && n < SWR_COUNT)
    set_level(swr_gpio[n], !closed);
}

bool gpio_block::switch_closed(int n) const
{
  return n >= 0 && n < SWR_COUNT && !(reg(GPIO_LEV0) >> swr_gpio[n] & 1u);
}

uint32_t gpio_block::reg(int word) const { return __atomic_load_n(&page_[word], __ATOMIC_RELAXED); }
