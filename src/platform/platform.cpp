#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>

#include <cerrno>
#endif

namespace torvi {

#ifdef _WIN32

void platform_prepare_console() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  GetConsoleMode(out, &mode);
  SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

void platform_sleep_ms(unsigned milliseconds) { Sleep(milliseconds); }

char platform_path_separator() { return '\\'; }

#else

// POSIX terminals render ANSI sequences already.
void platform_prepare_console() {}

void platform_sleep_ms(unsigned milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

char platform_path_separator() { return '/'; }

#endif

std::string platform_join_path(const std::string& folder, const std::string& name) {
  std::string path = folder;
  path += platform_path_separator();
  path += name;
  return path;
}

}  // namespace torvi
