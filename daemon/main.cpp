// The robot's daemon: no arguments, no environment, no files; everything is in the memory map.
#include "daemon/daemon.h"

int main() { return orvane_main(); }
