#include "platform/platform.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
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

void platform_sleep_ms(unsigned milliseconds) {
  Sleep(milliseconds);
}

char platform_path_separator() {
  return '\\';
}

// Windows accepts either slash, so a folder typed with forward slashes
// ("D:/backups/") needs no second separator either.
static bool ends_with_separator(const std::string& folder) {
  return folder.back() == '\\' || folder.back() == '/';
}

bool platform_local_time(std::time_t when, std::tm& local) {
  return localtime_s(&local, &when) == 0;
}

std::string platform_file_name(std::string name) {
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>:\"/\\|?*", c)) c = '_';
  }
  return name;
}

#else

// POSIX terminals render ANSI sequences already.
void platform_prepare_console() {}

void platform_sleep_ms(unsigned milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

char platform_path_separator() {
  return '/';
}

static bool ends_with_separator(const std::string& folder) {
  return folder.back() == '/';
}

bool platform_local_time(std::time_t when, std::tm& local) {
  return localtime_r(&when, &local) != nullptr;
}

// Every byte but '/' and NUL may stand in a POSIX file name; the tool's
// names never hold those two.
std::string platform_file_name(std::string name) {
  return name;
}

#endif

// An empty folder is the current folder, so the name stands alone instead of
// becoming a path from the root; a folder given with its trailing separator
// gets no second one.
std::string platform_join_path(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  std::string path = folder;
  if (!ends_with_separator(path)) path += platform_path_separator();
  path += name;
  return path;
}

}  // namespace torvi
