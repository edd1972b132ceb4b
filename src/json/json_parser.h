#pragma once
// A small pull parser for JSON text (RFC 8259). The caller opens a parser
// over a byte source and asks for one token at a time; no tree is built.
// The parser holds only a stack of open containers and the text of the last
// string or number, reads its source one byte at a time with one byte of
// look-ahead, and latches the first error with a message.

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace torvi {

// Token kinds. Callers compare against these numbers, so they never change.
enum JsonToken : int {
  TOKEN_ERROR = 1,         // an error is latched; jp_get_error has the message
  TOKEN_DONE = 2,          // the document (streaming: the current top-level value) is complete
  TOKEN_OBJECT_BEGIN = 3,  // "{"
  TOKEN_OBJECT_END = 4,    // "}"
  TOKEN_ARRAY_BEGIN = 5,   // "["
  TOKEN_ARRAY_END = 6,     // "]"
  TOKEN_STRING = 7,        // member name or string value; text in jp_get_string
  TOKEN_NUMBER = 8,        // number; text in jp_get_string, value in jp_get_number
  TOKEN_TRUE = 9,
  TOKEN_FALSE = 10,
  TOKEN_NULL = 11,
};

// The three allocation functions the parser uses for its container stack and
// its text buffer. A null member stands for malloc, realloc or free.
struct JsonAllocator {
  void* (*allocate)(size_t size) = nullptr;
  void* (*reallocate)(void* block, size_t size) = nullptr;
  void (*release)(void* block) = nullptr;
};

// Callbacks of a user source: each returns a byte 0 to 255, or -1 at the end
// of the text. get consumes the byte, peek does not.
using JsonUserGet = int (*)(void* data);
using JsonUserPeek = int (*)(void* data);

// Where the bytes come from. get and peek yield 0 to 255, or -1 for the end
// of the text; position counts the bytes consumed by get.
struct JsonSource {
  int (*get)(JsonSource& source) = nullptr;
  int (*peek)(JsonSource& source) = nullptr;
  size_t position = 0;
  // Buffer source (borrowed from the caller).
  const unsigned char* buffer = nullptr;
  size_t length = 0;
  // Stream source (borrowed from the caller).
  FILE* stream = nullptr;
  // User source.
  void* user_data = nullptr;
  JsonUserGet user_get = nullptr;
  JsonUserPeek user_peek = nullptr;
};

// One open container: its kind (TOKEN_OBJECT_BEGIN or TOKEN_ARRAY_BEGIN) and
// the number of tokens begun at this level. Inside an object an odd count
// means a member name was read and its value is due.
struct JsonStackEntry {
  std::int32_t kind;
  std::int32_t count;
};

constexpr std::uint32_t JSON_FLAG_ERROR = 1u << 0;
constexpr std::uint32_t JSON_FLAG_STREAMING = 1u << 1;
constexpr size_t JSON_NO_CONTAINER = static_cast<size_t>(-1);
constexpr size_t JSON_ERROR_SIZE = 128;

// The parser, owned by the caller (`JsonParser p{};`). The stack and the text
// buffer belong to it and are released by jp_close; the source's buffer or
// stream belongs to the caller.
struct JsonParser {
  size_t line = 0;                  // 1 after opening; counts line feeds read
  JsonStackEntry* stack = nullptr;  // open containers, innermost at `top`
  size_t top = JSON_NO_CONTAINER;   // index of the innermost container
  size_t stack_capacity = 0;        // entries allocated
  int held = 0;                     // token kept by jp_peek, 0 for none
  std::uint32_t flags = 0;          // JSON_FLAG_ERROR, JSON_FLAG_STREAMING
  char* text = nullptr;             // text of the last string or number
  size_t text_fill = 0;             // bytes written, closing NUL included
  size_t text_capacity = 0;         // bytes allocated
  size_t values_begun = 0;          // values started since opening or reset
  JsonSource source;
  JsonAllocator allocator;
  char error[JSON_ERROR_SIZE] = {};  // first error message, empty when none
};

// Opening resets every field (line 1, no container, streaming on, default
// allocator, no error) and releases what an earlier opening left behind.
void jp_open_buffer(JsonParser& p, const void* data, size_t length);
// Reads a NUL-terminated text without its NUL; a null text reads as empty.
void jp_open_string(JsonParser& p, const char* text);
// Reads with fgetc; peeking reads a byte and pushes it back with ungetc.
void jp_open_stream(JsonParser& p, FILE* stream);
// Reads through the callbacks, each called with `data`.
void jp_open_user(JsonParser& p, JsonUserGet get, JsonUserPeek peek, void* data);

// Replaces the allocation functions. Call it right after opening, before the
// first token, so that every block is released by the function family that
// allocated it.
void jp_set_allocator(JsonParser& p, const JsonAllocator& allocator);
// Streaming on: a source may hold several top-level values, each ended by
// TOKEN_DONE and continued after jp_reset. Off: exactly one value followed
// only by whitespace.
void jp_set_streaming(JsonParser& p, bool on);

// The next token (a JsonToken value). After an error, TOKEN_ERROR until jp_reset.
int jp_next(JsonParser& p);
// The token the next jp_next will return; it is read now and held.
int jp_peek(JsonParser& p);
// Clears the error and any held token, closes all containers and forgets the
// values read, so that the next top-level value can be read. The source, the
// text buffer and the streaming flag stay.
void jp_reset(JsonParser& p);
// Reads one whole value (a container with everything inside it) and returns
// the kind of its first token; TOKEN_ERROR or TOKEN_DONE met on the way is
// returned at once.
int jp_skip(JsonParser& p);
// Skips values until one begins with `kind`, or TOKEN_ERROR or TOKEN_DONE
// comes, and returns that kind.
int jp_skip_until(JsonParser& p, int kind);

// The last string or number token's text, NUL-terminated. `length` receives
// the text's length plus one (the closing NUL); a string may hold NUL bytes
// of its own (\u0000), which only the length shows. Before any string or
// number: "" and 0. The text stays valid until the next string or number.
const char* jp_get_string(JsonParser& p, size_t* length = nullptr);
// strtod of the last token's text; 0 before any string or number.
double jp_get_number(JsonParser& p);
// A number as a conversion to a 32-bit integer gives it: truncated toward
// zero. NaN and values outside the range give 0x80000000, the processor's
// "integer indefinite", rather than undefined behaviour.
std::int32_t jp_truncate(double value);
// The latched error message, or nullptr when there is none.
const char* jp_get_error(const JsonParser& p);
// Line counter (1-based).
size_t jp_get_line(const JsonParser& p);
// Bytes consumed from the source.
size_t jp_get_position(const JsonParser& p);
// Number of open containers.
size_t jp_get_depth(const JsonParser& p);
// TOKEN_DONE when no container is open, else the innermost container's kind
// with its token count in `count`.
int jp_get_context(const JsonParser& p, int* count = nullptr);

// One raw byte from the source (a line feed advances the line counter), or -1.
int jp_source_get(JsonParser& p);
// The next raw byte without consuming it, or -1.
int jp_source_peek(JsonParser& p);
// True for tab, line feed, carriage return and space only.
bool jp_is_space(int byte);

// Releases the stack and the text buffer; safe in any state and more than
// once. Open the parser again before further use.
void jp_close(JsonParser& p);

}  // namespace torvi
