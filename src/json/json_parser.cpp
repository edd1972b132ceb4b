#include "json/json_parser.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace torvi {
namespace {

constexpr size_t STACK_GROWTH = 4;
constexpr size_t TEXT_INITIAL_CAPACITY = 1024;
constexpr std::int32_t COUNT_MAX = INT32_MAX;

// ---- sources ----------------------------------------------------------------

int buffer_peek(JsonSource& s) {
  return s.position < s.length ? s.buffer[s.position] : -1;
}

int buffer_get(JsonSource& s) {
  int c = buffer_peek(s);
  if (c != -1) ++s.position;
  return c;
}

int stream_get(JsonSource& s) {
  int c = std::fgetc(s.stream);
  if (c == EOF) return -1;
  ++s.position;
  return c;
}

int stream_peek(JsonSource& s) {
  int c = std::fgetc(s.stream);
  if (c == EOF) return -1;
  std::ungetc(c, s.stream);
  return c;
}

// A callback may return anything; only 0..255 are bytes, the rest ends the text.
int user_byte(int c) {
  return c < 0 || c > 255 ? -1 : c;
}

int user_get(JsonSource& s) {
  int c = user_byte(s.user_get(s.user_data));
  if (c != -1) ++s.position;
  return c;
}

int user_peek(JsonSource& s) {
  return user_byte(s.user_peek(s.user_data));
}

int empty_source(JsonSource&) {
  return -1;
}

// The buffer source is by far the most common one, so it is read inline.
inline int raw_get(JsonSource& s) {
  if (s.get == buffer_get) return s.position < s.length ? s.buffer[s.position++] : -1;
  return s.get ? s.get(s) : -1;
}

inline int raw_peek(JsonSource& s) {
  if (s.peek == buffer_peek) return s.position < s.length ? s.buffer[s.position] : -1;
  return s.peek ? s.peek(s) : -1;
}

inline int get_byte(JsonParser& p) {
  int c = raw_get(p.source);
  if (c == '\n') ++p.line;
  return c;
}

inline bool is_space(int c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}
inline bool is_digit(int c) {
  return c >= '0' && c <= '9';
}

int skip_space(JsonParser& p) {
  int c;
  do {
    c = get_byte(p);
  } while (is_space(c));
  return c;
}

// ---- allocation -------------------------------------------------------------

void* do_allocate(const JsonAllocator& a, size_t size) {
  return a.allocate ? a.allocate(size) : std::malloc(size);
}

void* do_reallocate(const JsonAllocator& a, void* block, size_t size) {
  return a.reallocate ? a.reallocate(block, size) : std::realloc(block, size);
}

void do_release(const JsonAllocator& a, void* block) {
  if (!block) return;
  if (a.release) {
    a.release(block);
  } else {
    std::free(block);
  }
}

void release_blocks(JsonParser& p) {
  do_release(p.allocator, p.stack);
  do_release(p.allocator, p.text);
  p.stack = nullptr;
  p.stack_capacity = 0;
  p.top = JSON_NO_CONTAINER;
  p.text = nullptr;
  p.text_fill = 0;
  p.text_capacity = 0;
}

// ---- errors -----------------------------------------------------------------

int fail(JsonParser& p, const char* format, ...) __attribute__((format(printf, 2, 3)));

int fail(JsonParser& p, const char* format, ...) {
  if (!(p.flags & JSON_FLAG_ERROR)) {
    p.flags |= JSON_FLAG_ERROR;
    va_list args;
    va_start(args, format);
    std::vsnprintf(p.error, sizeof p.error, format, args);
    va_end(args);
  }
  return TOKEN_ERROR;
}

// A string or number cut off by an error leaves a partial text without its
// closing NUL; terminate it so jp_get_string never hands out an open-ended text.
int fail_in_text(JsonParser& p) {
  if (p.text && p.text_capacity > 0) {
    size_t end = p.text_fill < p.text_capacity ? p.text_fill : p.text_capacity - 1;
    p.text[end] = '\0';
    p.text_fill = end + 1;
  }
  return TOKEN_ERROR;
}

// ---- text buffer ------------------------------------------------------------

bool begin_text(JsonParser& p) {
  p.text_fill = 0;
  if (!p.text) {
    p.text = static_cast<char*>(do_allocate(p.allocator, TEXT_INITIAL_CAPACITY));
    if (!p.text) {
      fail(p, "out of memory");
      return false;
    }
    p.text_capacity = TEXT_INITIAL_CAPACITY;
    p.text[0] = '\0';
  }
  return true;
}

bool grow_text(JsonParser& p) {
  if (p.text_capacity > static_cast<size_t>(-1) / 2) {
    fail(p, "out of memory");
    return false;
  }
  size_t capacity = p.text_capacity * 2;
  char* text = static_cast<char*>(do_reallocate(p.allocator, p.text, capacity));
  if (!text) {
    fail(p, "out of memory");
    return false;
  }
  p.text = text;
  p.text_capacity = capacity;
  return true;
}

inline bool append(JsonParser& p, int byte) {
  if (p.text_fill == p.text_capacity && !grow_text(p)) return false;
  p.text[p.text_fill++] = static_cast<char>(byte);
  return true;
}

// ---- containers -------------------------------------------------------------

int open_container(JsonParser& p, int kind) {
  size_t next = p.top + 1;  // the all-ones "no container" wraps to index 0
  if (next >= p.stack_capacity) {
    size_t capacity = p.stack_capacity + STACK_GROWTH;
    if (capacity > static_cast<size_t>(-1) / sizeof(JsonStackEntry))
      return fail(p, "out of memory");
    void* stack = do_reallocate(p.allocator, p.stack, capacity * sizeof(JsonStackEntry));
    // top moves only once the entry exists, so depth and context stay truthful
    // after a failed growth.
    if (!stack) return fail(p, "out of memory");
    p.stack = static_cast<JsonStackEntry*>(stack);
    p.stack_capacity = capacity;
  }
  p.top = next;
  p.stack[next] = {kind, 0};
  return kind;
}

int close_container(JsonParser& p, int byte) {
  int expected = byte == ']' ? TOKEN_ARRAY_BEGIN : TOKEN_OBJECT_BEGIN;
  if (!p.stack || p.top == JSON_NO_CONTAINER || p.stack[p.top].kind != expected) {
    return fail(p, "unexpected byte '%c'", byte);
  }
  --p.top;
  return byte == ']' ? TOKEN_ARRAY_END : TOKEN_OBJECT_END;
}

// ---- strings ----------------------------------------------------------------

bool read_hex4(JsonParser& p, unsigned long& value) {
  value = 0;
  for (int i = 0; i < 4; ++i) {
    int c = get_byte(p);
    int digit;
    if (c == -1) {
      fail(p, "unterminated string literal in Unicode");
      return false;
    } else if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      fail(p, "invalid escape Unicode byte '%c'", c);
      return false;
    }
    value = value << 4 | static_cast<unsigned long>(digit);
  }
  return true;
}

// After "\u": four hex digits, a second escape for a surrogate pair, then
// the code point appended as UTF-8.
bool read_code_point(JsonParser& p) {
  unsigned long cp;
  if (!read_hex4(p, cp)) return false;
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    int c = get_byte(p);
    if (c == -1) {
      fail(p, "unterminated string literal in Unicode");
      return false;
    }
    if (c != '\\') {
      fail(p, "invalid continuation for surrogate pair '%c', expected '\\'", c);
      return false;
    }
    c = get_byte(p);
    if (c == -1) {
      fail(p, "unterminated string literal in Unicode");
      return false;
    }
    if (c != 'u') {
      fail(p, "invalid continuation for surrogate pair '%c', expected 'u'", c);
      return false;
    }
    unsigned long low;
    if (!read_hex4(p, low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) {
      fail(p, "surrogate pair continuation \\u%04lx out of range (dc00-dfff)", low);
      return false;
    }
    cp = (cp - 0xD800) * 0x400 + (low - 0xDC00) + 0x10000;
  } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
    fail(p, "dangling surrogate \\u%04lx", cp);
    return false;
  }
  if (cp < 0x80) return append(p, static_cast<int>(cp));
  if (cp < 0x800) {
    return append(p, static_cast<int>(0xC0 | cp >> 6)) &&
           append(p, static_cast<int>(0x80 | (cp & 0x3F)));
  }
  if (cp < 0x10000) {
    return append(p, static_cast<int>(0xE0 | cp >> 12)) &&
           append(p, static_cast<int>(0x80 | (cp >> 6 & 0x3F))) &&
           append(p, static_cast<int>(0x80 | (cp & 0x3F)));
  }
  if (cp <= 0x10FFFF) {
    return append(p, static_cast<int>(0xF0 | cp >> 18)) &&
           append(p, static_cast<int>(0x80 | (cp >> 12 & 0x3F))) &&
           append(p, static_cast<int>(0x80 | (cp >> 6 & 0x3F))) &&
           append(p, static_cast<int>(0x80 | (cp & 0x3F)));
  }
  fail(p, "unable to encode %06lx as UTF-8", cp);
  return false;
}

// A raw multi-byte sequence whose lead byte was read: checked for overlong
// forms, surrogates and values above U+10FFFF, then copied unchanged.
bool read_utf8(JsonParser& p, int lead) {
  int length;
  if (lead < 0xC2 || lead > 0xF4) {
    fail(p, "invalid UTF-8 character");
    return false;
  } else if (lead <= 0xDF) {
    length = 2;
  } else if (lead <= 0xEF) {
    length = 3;
  } else {
    length = 4;
  }
  int seq[4] = {lead, 0, 0, 0};
  for (int i = 1; i < length; ++i) {
    int c = get_byte(p);
    seq[i] = c == -1 ? 0xFF : c;
  }
  int low = 0x80, high = 0xBF;
  if (lead == 0xE0) {
    low = 0xA0;
  } else if (lead == 0xED) {
    high = 0x9F;
  } else if (lead == 0xF0) {
    low = 0x90;
  } else if (lead == 0xF4) {
    high = 0x8F;
  }
  bool valid = seq[1] >= low && seq[1] <= high;
  for (int i = 2; i < length; ++i) valid = valid && seq[i] >= 0x80 && seq[i] <= 0xBF;
  if (!valid) {
    fail(p, "invalid UTF-8 text");
    return false;
  }
  for (int i = 0; i < length; ++i) {
    if (!append(p, seq[i])) return false;
  }
  return true;
}

// The byte an escape such as "\n" stands for, or -1 for no such escape.
int simple_escape(int e) {
  switch (e) {
    case '\\':
    case '/':
    case '"':
      return e;
    case 'b':
      return 0x08;
    case 'f':
      return 0x0C;
    case 'n':
      return 0x0A;
    case 'r':
      return 0x0D;
    case 't':
      return 0x09;
    default:
      return -1;
  }
}

// The opening quote has been read.
int read_string_text(JsonParser& p) {
  for (;;) {
    int c = get_byte(p);
    if (c == '"') return append(p, '\0') ? TOKEN_STRING : TOKEN_ERROR;
    if (c >= 0x20 && c < 0x80 && c != '\\') {
      if (!append(p, c)) return TOKEN_ERROR;
    } else if (c == '\\') {
      int e = get_byte(p);
      if (e == -1) return fail(p, "unterminated string literal in escape");
      if (e == 'u') {
        if (!read_code_point(p)) return TOKEN_ERROR;
      } else if (simple_escape(e) == -1) {
        return fail(p, "invalid escaped byte '%c'", e);
      } else if (!append(p, simple_escape(e))) {
        return TOKEN_ERROR;
      }
    } else if (c == -1) {
      return fail(p, "unterminated string literal");
    } else if (c >= 0x80) {
      if (!read_utf8(p, c)) return TOKEN_ERROR;
    } else {
      return fail(p, "unescaped control character in string");
    }
  }
}

bool read_digits(JsonParser& p) {
  bool any = false;
  int c;
  while (is_digit(c = raw_peek(p.source))) {
    raw_get(p.source);
    if (!append(p, c)) return false;
    any = true;
  }
  if (!any) {
    if (c == -1) {
      fail(p, "expected digit instead of end of text");
    } else {
      fail(p, "expected digit instead of byte '%c'", c);
    }
  }
  return any;
}

// b is "-" or a digit and has been read.
int read_number_text(JsonParser& p, int b) {
  if (!append(p, b)) return TOKEN_ERROR;
  if (b == '-') {
    b = get_byte(p);
    if (b == -1) return fail(p, "unexpected end of text in number");
    if (!is_digit(b)) return fail(p, "unexpected byte '%c' in number", b);
    if (!append(p, b)) return TOKEN_ERROR;
  }
  // A leading zero stands alone: "01" is the number 0 followed by "1".
  if (b != '0' && is_digit(raw_peek(p.source)) && !read_digits(p)) return TOKEN_ERROR;
  int c = raw_peek(p.source);
  if (c == '.') {
    raw_get(p.source);
    if (!append(p, c) || !read_digits(p)) return TOKEN_ERROR;
    c = raw_peek(p.source);
  }
  if (c == 'e' || c == 'E') {
    raw_get(p.source);
    if (!append(p, c)) return TOKEN_ERROR;
    c = raw_peek(p.source);
    if (c == '+' || c == '-') {
      raw_get(p.source);
      if (!append(p, c)) return TOKEN_ERROR;
    } else if (c == -1) {
      return fail(p, "unexpected end of text in number");
    } else if (!is_digit(c)) {
      return fail(p, "unexpected byte '%c' in number", c);
    }
    if (!read_digits(p)) return TOKEN_ERROR;
  }
  return append(p, '\0') ? TOKEN_NUMBER : TOKEN_ERROR;
}

// Strings and numbers share the text buffer; whatever stops them midway,
// the partial text is left terminated.
int read_text_token(JsonParser& p, int b) {
  if (!begin_text(p)) return TOKEN_ERROR;
  int token = b == '"' ? read_string_text(p) : read_number_text(p, b);
  return token == TOKEN_ERROR ? fail_in_text(p) : token;
}

// ---- values -----------------------------------------------------------------

int read_literal(JsonParser& p, const char* rest, int token) {
  for (; *rest; ++rest) {
    int c = get_byte(p);
    if (c == *rest) continue;
    if (c == -1) return fail(p, "expected '%c' instead of end of text", *rest);
    return fail(p, "expected '%c' instead of byte '%c'", *rest, c);
  }
  return token;
}

int read_value(JsonParser& p, int b) {
  ++p.values_begun;
  switch (b) {
    case -1:
      return fail(p, "unexpected end of text");
    case '{':
      return open_container(p, TOKEN_OBJECT_BEGIN);
    case '[':
      return open_container(p, TOKEN_ARRAY_BEGIN);
    case '"':
      return read_text_token(p, b);
    case 't':
      return read_literal(p, "rue", TOKEN_TRUE);
    case 'f':
      return read_literal(p, "alse", TOKEN_FALSE);
    case 'n':
      return read_literal(p, "ull", TOKEN_NULL);
    default:
      if (b == '-' || is_digit(b)) return read_text_token(p, b);
      return fail(p, "unexpected byte '%c' in value", b);
  }
}

// Counts only steer the grammar (array: zero or not; object: parity), so a
// container with more than 2^31 tokens keeps a count that says the same
// instead of overflowing.
void count_array_element(JsonStackEntry& e) {
  if (e.count < COUNT_MAX) ++e.count;
}

void count_object_token(JsonStackEntry& e) {
  e.count = e.count == COUNT_MAX ? 2 : e.count + 1;
}

int next_in_array(JsonParser& p, int b) {
  size_t level = p.top;
  if (p.stack[level].count == 0) {
    if (b == ']') return close_container(p, b);
    p.stack[level].count = 1;
    return read_value(p, b);
  }
  if (p.stack[level].count > 0) {
    if (b == ',') {
      count_array_element(p.stack[level]);
      return read_value(p, skip_space(p));
    }
    if (b == ']') return close_container(p, b);
    if (b == -1) return fail(p, "unexpected end of text");
    return fail(p, "unexpected byte '%c'", b);
  }
  return fail(p, "invalid parser state");
}

int next_in_object(JsonParser& p, int b) {
  size_t level = p.top;
  std::int32_t count = p.stack[level].count;
  if (count == 0) {
    if (b == '}') return close_container(p, b);
    int token = read_value(p, b);
    if (token == TOKEN_ERROR) return token;
    if (token != TOKEN_STRING) return fail(p, "expected member name or '}'");
    // read_value may have grown the stack, so index it afresh.
    count_object_token(p.stack[level]);
    return token;
  }
  if (count < 0) return fail(p, "invalid parser state");
  if (count % 2 == 1) {
    if (b != ':') return fail(p, "expected ':' after member name");
    count_object_token(p.stack[level]);
    return read_value(p, skip_space(p));
  }
  if (b == ',') {
    int token = read_value(p, skip_space(p));
    if (token == TOKEN_ERROR) return token;
    if (token != TOKEN_STRING) return fail(p, "expected member name");
    count_object_token(p.stack[level]);
    return token;
  }
  if (b == '}') return close_container(p, b);
  return fail(p, "expected ',' or '}' after member value");
}

void open_source(JsonParser& p) {
  release_blocks(p);
  p = JsonParser{};
  p.line = 1;
  p.flags = JSON_FLAG_STREAMING;
}

}  // namespace

// ---- opening ----------------------------------------------------------------

void jp_open_buffer(JsonParser& p, const void* data, size_t length) {
  open_source(p);
  p.source.buffer = static_cast<const unsigned char*>(data);
  p.source.length = data ? length : 0;
  p.source.get = buffer_get;
  p.source.peek = buffer_peek;
}

void jp_open_string(JsonParser& p, const char* text) {
  jp_open_buffer(p, text, text ? std::strlen(text) : 0);
}

void jp_open_stream(JsonParser& p, FILE* stream) {
  open_source(p);
  p.source.stream = stream;
  p.source.get = stream ? stream_get : empty_source;
  p.source.peek = stream ? stream_peek : empty_source;
}

void jp_open_user(JsonParser& p, JsonUserGet get, JsonUserPeek peek, void* data) {
  open_source(p);
  p.source.user_data = data;
  p.source.user_get = get;
  p.source.user_peek = peek;
  p.source.get = get && peek ? user_get : empty_source;
  p.source.peek = get && peek ? user_peek : empty_source;
}

void jp_set_allocator(JsonParser& p, const JsonAllocator& allocator) {
  p.allocator = allocator;
}

void jp_set_streaming(JsonParser& p, bool on) {
  if (on) {
    p.flags |= JSON_FLAG_STREAMING;
  } else {
    p.flags &= ~JSON_FLAG_STREAMING;
  }
}

// ---- tokens -----------------------------------------------------------------

int jp_next(JsonParser& p) {
  if (p.flags & JSON_FLAG_ERROR) return TOKEN_ERROR;
  if (p.held) {
    int token = p.held;
    p.held = 0;
    return token;
  }
  bool streaming = p.flags & JSON_FLAG_STREAMING;
  if (p.values_begun > 0 && p.top == JSON_NO_CONTAINER) {
    // The top-level value is complete.
    if (streaming) return TOKEN_DONE;
    for (;;) {
      int c = raw_peek(p.source);
      if (c == -1) return TOKEN_DONE;
      if (!is_space(c)) return fail(p, "expected end of text instead of byte '%c'", c);
      get_byte(p);
    }
  }
  int b = skip_space(p);
  if (p.top == JSON_NO_CONTAINER) {
    if (b == -1 && streaming) return TOKEN_DONE;
    return read_value(p, b);
  }
  if (!p.stack) return fail(p, "invalid parser state");
  switch (p.stack[p.top].kind) {
    case TOKEN_ARRAY_BEGIN:
      return next_in_array(p, b);
    case TOKEN_OBJECT_BEGIN:
      return next_in_object(p, b);
    default:
      return fail(p, "invalid parser state");
  }
}

int jp_peek(JsonParser& p) {
  if (!p.held) p.held = jp_next(p);
  return p.held;
}

void jp_reset(JsonParser& p) {
  p.flags &= ~JSON_FLAG_ERROR;
  p.error[0] = '\0';
  p.top = JSON_NO_CONTAINER;
  p.values_begun = 0;
  // A token peeked before the reset belongs to the state just thrown away.
  p.held = 0;
}

int jp_skip(JsonParser& p) {
  int first = jp_next(p);
  if (first == TOKEN_ERROR || first == TOKEN_DONE) return first;
  size_t arrays = 0, objects = 0;
  int token = first;
  for (;;) {
    if (token == TOKEN_ARRAY_BEGIN) {
      ++arrays;
    } else if (token == TOKEN_OBJECT_BEGIN) {
      ++objects;
    } else if (token == TOKEN_ARRAY_END && arrays > 0) {
      --arrays;
    } else if (token == TOKEN_OBJECT_END && objects > 0) {
      --objects;
    }
    if (arrays == 0 && objects == 0) return first;
    token = jp_next(p);
    if (token == TOKEN_ERROR || token == TOKEN_DONE) return token;
  }
}

int jp_skip_until(JsonParser& p, int kind) {
  for (;;) {
    int token = jp_skip(p);
    if (token == kind || token == TOKEN_ERROR || token == TOKEN_DONE) return token;
  }
}

// ---- queries ----------------------------------------------------------------

const char* jp_get_string(JsonParser& p, size_t* length) {
  if (!p.text) {
    if (length) *length = 0;
    return "";
  }
  if (length) *length = p.text_fill;
  return p.text;
}

double jp_get_number(JsonParser& p) {
  return p.text ? std::strtod(p.text, nullptr) : 0.0;
}

std::int32_t jp_truncate(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

const char* jp_get_error(const JsonParser& p) {
  return (p.flags & JSON_FLAG_ERROR) ? p.error : nullptr;
}

size_t jp_get_line(const JsonParser& p) {
  return p.line;
}

size_t jp_get_position(const JsonParser& p) {
  return p.source.position;
}

size_t jp_get_depth(const JsonParser& p) {
  return p.top + 1;
}

int jp_get_context(const JsonParser& p, int* count) {
  if (p.top == JSON_NO_CONTAINER || !p.stack) {
    if (count) *count = 0;
    return TOKEN_DONE;
  }
  if (count) *count = p.stack[p.top].count;
  return p.stack[p.top].kind;
}

int jp_source_get(JsonParser& p) {
  return get_byte(p);
}

int jp_source_peek(JsonParser& p) {
  return raw_peek(p.source);
}

bool jp_is_space(int byte) {
  return is_space(byte);
}

void jp_close(JsonParser& p) {
  release_blocks(p);
}

}  // namespace torvi
