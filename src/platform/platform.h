#pragma once
// What differs between the Windows workstation the tool was made for and a
// POSIX system: the console's colour mode, the closing pause, path joining.

#include <ctime>
#include <string>

namespace torvi {

// Lets the console render the ANSI colour sequences ("\e[32m" ... "\e[0m").
// Failures are ignored: colours are a courtesy.
void platform_prepare_console();

// Blocks the calling thread for `milliseconds`.
void platform_sleep_ms(unsigned milliseconds);

// The workstation's path separator: '\\' on Windows, '/' elsewhere.
char platform_path_separator();

// Joins a folder and a file name with the platform's separator. An empty
// folder gives the name alone; a trailing separator is not doubled.
std::string platform_join_path(const std::string& folder, const std::string& name);

// The local calendar time of `when` (the workstation's time zone); false
// when the system cannot tell it.
bool platform_local_time(std::time_t when, std::tm& local);

// `name` with each character that a file name cannot hold on this system
// replaced by '_': on Windows the reserved characters (the ':' of an
// address given as HOST:PORT among them, which would otherwise name an
// alternate data stream) and control characters; elsewhere nothing.
std::string platform_file_name(std::string name);

#ifdef _WIN32
// The user's words for a Windows error code (GetLastError): the C library's
// text where the error has a C library number (so a missing folder reads as
// on Linux), the system's message otherwise.
std::string platform_windows_error_text(unsigned long code);
#endif

}  // namespace torvi
