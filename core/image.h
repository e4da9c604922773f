// The map's initial image: the daemon's whole configuration, written once at start-up on the
// initial thread (and by tests before they drive the code), before any other thread runs.
// It sits above the map and the interpolator, and is the one place that calls both.
#pragma once

void mem_init();  // every byte of the map set to the initial image; the interpolator at rest
