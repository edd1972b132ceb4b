// Drives the JSON parser over arbitrary bytes: plain token reading in both
// streaming modes, then skipping and peeking. Every walk is bounded, since a
// streaming parser repeats TOKEN_DONE until it is reset.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "json/json_parser.h"

namespace {

// Each call consumes at least one byte or ends the walk, so a walk of
// twice the input length plus a margin is always enough.
size_t step_limit(size_t size) {
  return 2 * size + 16;
}

void touch_queries(torvi::JsonParser& p) {
  size_t length = 0;
  const char* text = torvi::jp_get_string(p, &length);
  if (length > 0 && text[length - 1] != '\0') __builtin_trap();
  (void)torvi::jp_get_number(p);
  int count = 0;
  (void)torvi::jp_get_context(p, &count);
  (void)torvi::jp_get_depth(p);
  (void)torvi::jp_get_line(p);
}

void walk_tokens(const uint8_t* data, size_t size, bool streaming) {
  torvi::JsonParser p{};
  torvi::jp_open_buffer(p, data, size);
  torvi::jp_set_streaming(p, streaming);
  for (size_t i = 0; i < step_limit(size); ++i) {
    int token = torvi::jp_next(p);
    touch_queries(p);
    if (token == torvi::TOKEN_ERROR) {
      if (!torvi::jp_get_error(p)) __builtin_trap();
      break;
    }
    if (token == torvi::TOKEN_DONE) {
      // In streaming mode go on with the next top-level value, if any.
      if (!streaming || torvi::jp_get_position(p) >= size) break;
      torvi::jp_reset(p);
    }
  }
  torvi::jp_close(p);
}

// The first byte picks the mix of operations; the rest is the text.
void walk_skip_peek(const uint8_t* data, size_t size) {
  if (size == 0) return;
  uint8_t mix = data[0];
  torvi::JsonParser p{};
  torvi::jp_open_buffer(p, data + 1, size - 1);
  torvi::jp_set_streaming(p, (mix & 0x80) != 0);
  for (size_t i = 0; i < step_limit(size); ++i) {
    int token;
    switch ((mix >> (2 * (i % 3))) & 3) {
      case 0:
        token = torvi::jp_peek(p);
        break;
      case 1:
        token = torvi::jp_skip(p);
        break;
      case 2:
        token = torvi::jp_skip_until(p, torvi::TOKEN_OBJECT_BEGIN);
        break;
      default:
        token = torvi::jp_next(p);
        break;
    }
    touch_queries(p);
    if (token == torvi::TOKEN_ERROR || token == torvi::TOKEN_DONE) break;
  }
  torvi::jp_close(p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  walk_tokens(data, size, true);
  walk_tokens(data, size, false);
  walk_skip_peek(data, size);
  return 0;
}
