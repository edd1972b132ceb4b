#pragma once
// What differs between the Windows workstation the tool was made for and a
// POSIX system: the console's colour mode, the closing pause, path joining.

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

}  // namespace torvi
