// The monitor's former line reader, one receive per byte, kept as the reference that the
// buffered reader (monitor/rdline.h) must match byte for byte. Not part of the daemon.
#pragma once

#include "monitor/rdline.h"

// Same contract as dbgs_getline, asking the source for one byte at a time.
bool ref_getline(const dbgs_src& src, char* line);
