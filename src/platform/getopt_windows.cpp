// getopt and getopt_long for the Windows build, with the GNU semantics the
// POSIX build gets from its C library (see gnu_getopt.h). These definitions
// take the place of the mingw-w64 runtime's: the linker takes them from here
// and so never loads its getopt object.
#ifdef _WIN32

#include <getopt.h>

#include <cstddef>

#include "platform/gnu_getopt.h"

static_assert(sizeof(option) == sizeof(torvi::gnu_long_option));
static_assert(offsetof(option, val) == offsetof(torvi::gnu_long_option, val));

extern "C" {
int optind = 1;
int opterr = 1;
int optopt = '?';
char* optarg = nullptr;
}

namespace {

torvi::gnu_getopt_state g_state;

int scan(int argc, char* const* argv, const char* optstring, const option* longopts,
         int* longind) {
  g_state.optind = optind;
  g_state.opterr = opterr;
  const int c = torvi::gnu_getopt_long(
      argc, argv, optstring, reinterpret_cast<const torvi::gnu_long_option*>(longopts), longind,
      g_state);
  optind = g_state.optind;
  optarg = g_state.optarg;
  optopt = g_state.optopt;
  return c;
}

}  // namespace

extern "C" int getopt(int argc, char* const* argv, const char* optstring) {
  return scan(argc, argv, optstring, nullptr, nullptr);
}

extern "C" int getopt_long(int argc, char* const* argv, const char* optstring,
                           const option* longopts, int* longind) {
  return scan(argc, argv, optstring, longopts, longind);
}

#endif
