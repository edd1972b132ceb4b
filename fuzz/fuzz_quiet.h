#pragma once
// The tool's console lines are of no interest to a fuzzer: they go to the
// null device, once per process.

#include <cstdio>

#include "platform/console.h"

inline void fuzz_quiet_console() {
  static const bool quiet = [] {
    std::FILE* sink = std::fopen("/dev/null", "w");  // held for the process
    torvi::console_set_streams(sink, sink);
    return true;
  }();
  (void)quiet;
}
