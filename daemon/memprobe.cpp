// orvane-memprobe: maps the GPIO block through /dev/mem at the address the daemon uses, but
// read-only and for a moment, so that orvane-doctor can tell whether this kernel lets the daemon
// map it. Opening is not enough: a kernel with STRICT_DEVMEM opens /dev/mem and refuses the map.
//   orvane-memprobe [DEVICE]      (default /dev/mem; orvane-doctor --root passes its root's)
// Prints one line. Exit status: 0 mapped; 1 the device does not open; 2 the kernel refuses the
// mapping (EPERM: its /dev/mem policy); 3 the mapping fails otherwise; 64 a bad argument.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "board/swr.h"
#include "core/platform.h"

int main(int argc, char** argv)
{
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    fprintf(stderr, "usage: orvane-memprobe [DEVICE]\n");
    return 64;
  }
  const char* dev = argc == 2 ? argv[1] : "/dev/mem";
  // Read-only, unlike the daemon: the probe must change nothing. O_NONBLOCK: a FIFO put in the
  // device's place must not hang the doctor.
  int fd = open(dev, O_RDONLY | O_SYNC | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    printf("open: %s\n", strerror(errno));
    return 1;
  }
  void* p = mmap(nullptr, GPIO_MAP_SIZE, PROT_READ, MAP_SHARED, fd, PLAT_GPIO_BASE);
  if (p == MAP_FAILED) {
    int err = errno;
    printf("map: %s\n", strerror(err));
    return err == EPERM ? 2 : 3;
  }
  munmap(p, GPIO_MAP_SIZE);
  close(fd);
  printf("mapped %u bytes at 0x%lx\n", GPIO_MAP_SIZE, static_cast<unsigned long>(PLAT_GPIO_BASE));
  return 0;
}
