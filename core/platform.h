// Where the daemon meets the machine: device paths, the GPIO base, the monitor port and the
// power-off command. The defaults are the robot's; only the desktop runners and the tests change
// them, on the initial thread before start-up. Every thread may read them afterwards.
#pragma once

#include <sys/types.h>

constexpr off_t PLAT_GPIO_BASE = 0x20200000;  // the BCM2835's GPIO registers, physical address

struct plat_cfg {
  const char* serial_path;   // servo line
  const char* i2c_path;      // LED boards' bus
  const char* mem_path;      // physical memory device, for the GPIO block
  off_t gpio_base;           // physical address of the GPIO registers
  int monitor_port;          // TCP port of the monitor; 0 lets the system choose
  const char* poweroff_cmd;  // shell command run on a power-off request
  void (*listening)(int port);  // told the monitor's port once it listens; may be null
  void (*listen_failed)(int err);  // told the error when the monitor cannot listen; may be null
  void (*tick_probe)();         // called at the start of each tick's work; null on the robot
  void (*pass_probe)();         // called at the start of each control-loop pass; null on the robot
};

extern plat_cfg plat;

// Opens a device for reading and writing; ends the process with "open(PATH) failed" and status 1
// when it cannot.
int plat_open(const char* path);
