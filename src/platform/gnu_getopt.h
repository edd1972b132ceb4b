#pragma once
// The command-line scanner with the GNU C library's semantics: non-options
// are moved behind the options (unless the option string starts with '+'),
// a long option may be given by any unique abbreviation (several table rows
// with the same effect count as one), and the diagnostics are GNU's own
// words. The Windows build's getopt_long is this scanner (getopt_windows.cpp),
// because the mingw-w64 runtime's answers otherwise and in other words.

#include <cstdio>

namespace torvi {

// A row of the long-option table, laid out as `struct option`.
struct gnu_long_option {
  const char* name;
  int has_arg;  // 0 none, 1 required, 2 optional
  int* flag;
  int val;
};

// What getopt keeps between calls (its global variables, and the place in
// the current argument). Setting `optind` to 0 starts a fresh scan.
struct gnu_getopt_state {
  int optind = 1;
  int opterr = 1;
  int optopt = '?';
  char* optarg = nullptr;
  bool initialized = false;
  char* nextchar = nullptr;
  int first_nonopt = 1;
  int last_nonopt = 1;
  std::FILE* diagnostics = nullptr;  // standard error when null
};

// getopt_long: the next option's code (or 0 for a row with a flag, '?' for
// an error, ':' for a missing argument when `optstring` starts with ':'),
// -1 after the last option. May reorder `argv`.
int gnu_getopt_long(int argc, char* const* argv, const char* optstring,
                    const gnu_long_option* longopts, int* longind, gnu_getopt_state& state);

}  // namespace torvi
