// json-tokens: prints the JSON parser's tokens for a file, one line each.
//
//   json-tokens [--strict] FILE
//
// Each line holds the token kind's number; strings and numbers add a tab and
// their text, an error adds a tab and the message. Without --strict the file
// may hold several top-level values one after another; each ends with a
// TOKEN_DONE line. With --strict it must hold exactly one value.
// Exit status: 0 when the text ends with TOKEN_DONE, 1 on TOKEN_ERROR,
// 2 on a usage error or an unreadable file.

#include <cstdio>
#include <cstring>

#include "json/json_parser.h"
#include "platform/file.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: json-tokens [--strict] FILE\n");
  return 2;
}

// Writes the token text with its length, so NUL bytes from \u0000 survive.
void print_text(torvi::JsonParser& p) {
  size_t length = 0;
  const char* text = torvi::jp_get_string(p, &length);
  std::fputc('\t', stdout);
  if (length > 0) std::fwrite(text, 1, length - 1, stdout);
}

}  // namespace

int main(int argc, char** argv) {
  bool strict = false;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--strict") == 0) {
      strict = true;
    } else if (!path && argv[i][0] != '-') {
      path = argv[i];
    } else {
      return usage();
    }
  }
  if (!path) return usage();

  torvi::unique_file file = torvi::file_open(path, "rb");
  if (!file) {
    std::fprintf(stderr, "json-tokens: cannot open '%s'\n", path);
    return 2;
  }

  torvi::JsonParser p{};
  torvi::jp_open_stream(p, file.get());
  torvi::jp_set_streaming(p, !strict);

  int status = 0;
  bool value_pending = false;  // a token of the current top-level value was read
  bool any_value = false;
  for (;;) {
    int token = torvi::jp_next(p);
    if (token == torvi::TOKEN_ERROR) {
      std::printf("%d\t%s\n", token, torvi::jp_get_error(p));
      status = 1;
      break;
    }
    if (token == torvi::TOKEN_DONE) {
      // In streaming mode a DONE with no token before it is the end of the
      // file; it gets its own line only when the file held no value at all.
      if (value_pending || !any_value) std::printf("%d\n", token);
      if (strict || !value_pending) break;
      value_pending = false;
      torvi::jp_reset(p);
      continue;
    }
    value_pending = true;
    any_value = true;
    std::printf("%d", token);
    if (token == torvi::TOKEN_STRING || token == torvi::TOKEN_NUMBER) print_text(p);
    std::printf("\n");
  }
  torvi::jp_close(p);

  if (std::ferror(file.get())) {
    std::fprintf(stderr, "json-tokens: cannot read '%s'\n", path);
    return 2;
  }
  return status;
}
