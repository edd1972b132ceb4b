#include "platform/platform.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#else
#include <time.h>
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

std::string platform_windows_error_text(unsigned long code) {
  struct Known {
    unsigned long code;
    int error;
  };
  static const Known known[] = {
      {ERROR_FILE_NOT_FOUND, ENOENT},     {ERROR_PATH_NOT_FOUND, ENOENT},
      {ERROR_INVALID_DRIVE, ENOENT},      {ERROR_BAD_NETPATH, ENOENT},
      {ERROR_DIRECTORY, ENOTDIR},         {ERROR_ACCESS_DENIED, EACCES},
      {ERROR_SHARING_VIOLATION, EACCES},  {ERROR_LOCK_VIOLATION, EACCES},
      {ERROR_WRITE_PROTECT, EROFS},       {ERROR_FILE_EXISTS, EEXIST},
      {ERROR_ALREADY_EXISTS, EEXIST},     {ERROR_DISK_FULL, ENOSPC},
      {ERROR_HANDLE_DISK_FULL, ENOSPC},   {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
      {ERROR_OUTOFMEMORY, ENOMEM},        {ERROR_INVALID_NAME, EINVAL},
      {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
  };
  for (const Known& k : known) {
    if (k.code == code) return std::strerror(k.error);
  }
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length ? std::string(text, length) : "Windows error " + std::to_string(code);
  LocalFree(text);
  // The system's messages end in ".\r\n"; the tool's lines add their own end.
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
    message.pop_back();
  }
  return message;
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
