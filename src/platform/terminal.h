#pragma once
// The terminal a long run talks to while it works, and the user's wish to
// stop it: what torvi-site needs for its live view and its interrupt.

#include <cstdio>
#include <ctime>

namespace torvi {

// Whether `stream` is an interactive terminal (a console on Windows).
bool platform_is_terminal(std::FILE* stream);

// Lets the terminal behind `stream` render the ANSI cursor and erase
// sequences of a view redrawn in place. False when `stream` is not a
// terminal or the terminal will not take them.
bool platform_prepare_terminal(std::FILE* stream);

// The rows and columns of text the terminal behind `stream` shows; false
// when it cannot tell.
bool platform_terminal_size(std::FILE* stream, int& rows, int& columns);

// Calls `handler` when the user interrupts the program (Ctrl-C) or the
// system asks it to end (SIGTERM; Ctrl-Break or the console closing on
// Windows). The handler runs inside a signal handler or on a thread of the
// system's, so it may do no more than store into a lock-free atomic.
void platform_on_interrupt(void (*handler)());

// The calendar time of `when` in UTC; false when the system cannot tell it.
bool platform_utc_time(std::time_t when, std::tm& utc);

}  // namespace torvi
