#pragma once
// The console: every line the tool prints goes through these two functions,
// so the compiler checks each format against its arguments and tests can
// redirect both streams.

#include <cstdarg>
#include <cstdio>
#include <string>

namespace torvi {

// Standard output (progress, reports, most errors).
int console_out(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Standard error (the transfer failure line, diagnostics).
int console_err(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The streams behind console_out and console_err: the calling thread's own
// (console_scope) if it has them, else stdout and stderr unless a test has
// swapped them.
FILE* console_out_stream();
FILE* console_err_stream();
void console_set_streams(FILE* out, FILE* err);

// Sends the calling thread's console lines, and what libcurl writes for its
// transfers, to `out` and `err` until the scope ends. Other threads keep
// their own streams, so workers running actions side by side each write a
// log of their own; a thread without a scope has the process's streams.
class console_scope {
 public:
  console_scope(FILE* out, FILE* err);
  ~console_scope();
  console_scope(const console_scope&) = delete;
  console_scope& operator=(const console_scope&) = delete;

 private:
  FILE* saved_out_;
  FILE* saved_err_;
};

// Builds a heap text with printf formatting; returns the text's length, or a
// negative value on failure (then `text` is left empty).
int format_text(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace torvi
