#include "platform/console.h"

namespace torvi {
namespace {
FILE* g_out = nullptr;
FILE* g_err = nullptr;
thread_local FILE* t_out = nullptr;
thread_local FILE* t_err = nullptr;
}  // namespace

FILE* console_out_stream() {
  if (t_out) return t_out;
  return g_out ? g_out : stdout;
}
FILE* console_err_stream() {
  if (t_err) return t_err;
  return g_err ? g_err : stderr;
}

console_scope::console_scope(FILE* out, FILE* err) : saved_out_(t_out), saved_err_(t_err) {
  t_out = out;
  t_err = err;
}

console_scope::~console_scope() {
  t_out = saved_out_;
  t_err = saved_err_;
}

void console_set_streams(FILE* out, FILE* err) {
  g_out = out;
  g_err = err;
}

int console_out(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vfprintf(console_out_stream(), format, args);
  va_end(args);
  return n;
}

int console_err(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vfprintf(console_err_stream(), format, args);
  va_end(args);
  return n;
}

int format_text(std::string& text, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (n < 0) {
    va_end(again);
    text.clear();
    return -1;
  }
  text.resize(static_cast<size_t>(n) + 1);
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  text.resize(static_cast<size_t>(n));
  return n;
}

}  // namespace torvi
