#include "platform/terminal.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#else
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace torvi {

#ifdef _WIN32

namespace {

void (*g_interrupt)() = nullptr;

HANDLE console_handle(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// Runs on a thread the system starts for the event. Returning TRUE keeps
// the process alive to finish its summary; a closing console ends it
// anyway a few seconds later.
BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      if (g_interrupt) g_interrupt();
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

bool platform_is_terminal(std::FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}

bool platform_prepare_terminal(std::FILE* stream) {
  if (!platform_is_terminal(stream)) return false;
  HANDLE handle = console_handle(stream);
  DWORD mode = 0;
  if (!GetConsoleMode(handle, &mode)) return false;
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
         SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

bool platform_terminal_size(std::FILE* stream, int& rows, int& columns) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(console_handle(stream), &info)) return false;
  rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  columns = info.srWindow.Right - info.srWindow.Left + 1;
  return rows > 0 && columns > 0;
}

void platform_on_interrupt(void (*handler)()) {
  g_interrupt = handler;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool platform_utc_time(std::time_t when, std::tm& utc) {
  return gmtime_s(&utc, &when) == 0;
}

#else

namespace {

void (*g_interrupt)() = nullptr;

void on_signal(int) {
  if (g_interrupt) g_interrupt();
}

}  // namespace

bool platform_is_terminal(std::FILE* stream) {
  return isatty(fileno(stream)) == 1;
}

// POSIX terminals render the sequences already.
bool platform_prepare_terminal(std::FILE* stream) {
  return platform_is_terminal(stream);
}

bool platform_terminal_size(std::FILE* stream, int& rows, int& columns) {
  winsize size{};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0) return false;
  rows = size.ws_row;
  columns = size.ws_col;
  return rows > 0 && columns > 0;
}

void platform_on_interrupt(void (*handler)()) {
  g_interrupt = handler;
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking wait the main thread makes should come back
  // early, not sit out its time.
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool platform_utc_time(std::time_t when, std::tm& utc) {
  return gmtime_r(&when, &utc) != nullptr;
}

#endif

}  // namespace torvi
