#include "json/json_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace torvi {
namespace {

// Tokens up to the first DONE or ERROR, space-separated: "{", "true", "DONE",
// "s:<text>" and "n:<text>" (NULs included; "s" and "n" without `texts`),
// "ERR:<message>".
std::string tokens_of(JsonParser& p, int limit = 100000, bool texts = true) {
  static const char* const kNames[] = {"?", "ERR", "DONE", "{",    "}",     "[",
                                       "]", "s",   "n",    "true", "false", "null"};
  std::string out;
  for (int i = 0; i < limit; ++i) {
    const int token = jp_next(p);
    out += std::string(out.empty() ? "" : " ") + kNames[token];
    if (token == TOKEN_ERROR) out += std::string(":") + jp_get_error(p);
    if ((token == TOKEN_STRING || token == TOKEN_NUMBER) && texts) {
      size_t length = 0;
      const char* text = jp_get_string(p, &length);
      out += ":" + std::string(text, length - 1);
    }
    if (token == TOKEN_DONE || token == TOKEN_ERROR) break;
  }
  return out;
}

std::string tokens(const std::string& text, bool streaming = true) {
  JsonParser p{};
  jp_open_buffer(p, text.data(), text.size());
  jp_set_streaming(p, streaming);
  std::string out = tokens_of(p);
  jp_close(p);
  return out;
}

// Acceptance and rejection are the conformance corpus's business; these
// cases check what it cannot: the tokens' texts, the messages, the streaming
// mode (false: exactly one value).
TEST(JsonTokens, TextsAndMessages) {
  const std::tuple<std::string, std::string, bool> cases[] = {
      {" \t\r\nnull ", "null DONE", true},
      {"truefalse", "true ERR:expected end of text instead of byte 'f'", false},
      {"-01", "n:-0 ERR:expected end of text instead of byte '1'", false},
      {R"("\\\/\"\b\f\n\r\t")", "s:\\/\"\b\f\n\r\t DONE", true},
      {R"("\u007f\u0080\u07FF\u0800\uffff")", "s:\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf DONE",
       true},
      {R"("a\u0000b")", std::string("s:a\0b DONE", 10), true},
      {R"("\uD800\uDC00\udbff\udfff")", "s:\xf0\x90\x80\x80\xf4\x8f\xbf\xbf DONE", true},
      {"\"\xed\x9f\xbf\xf4\x8f\xbf\xbf\"", "s:\xed\x9f\xbf\xf4\x8f\xbf\xbf DONE", true},
      {R"({"a":1,"b":[true,{ }]})", "{ s:a n:1 s:b [ true { } ] } DONE", true},
      {"", "ERR:unexpected end of text", false},
      {"[1] x", "[ n:1 ] DONE", true},
      {"[1] x", "[ n:1 ] ERR:expected end of text instead of byte 'x'", false},
  };
  for (const auto& [input, expected, streaming] : cases) {
    EXPECT_EQ(tokens(input, streaming), expected) << input;
  }
  for (const auto& [input, value] : {std::pair<const char*, double>{"-0.5E-3", -0.0005},
                                     {"9007199254740993", 9007199254740992.0},
                                     {"1e400", HUGE_VAL}}) {
    JsonParser p{};
    jp_open_string(p, input);
    EXPECT_EQ(jp_next(p), TOKEN_NUMBER);
    EXPECT_EQ(jp_get_number(p), value) << input;
    jp_close(p);
  }
}

// A deep document needs no recursion; a failed token's text stays
// NUL-terminated; a missing source reads as empty.
TEST(JsonTokens, DeepNestingFailedTokensAndNoSource) {
  const std::string deep = std::string(20000, '[') + std::string(20000, ']');
  JsonParser p{};
  jp_open_buffer(p, deep.data(), deep.size());
  size_t deepest = 0;
  int token;
  while ((token = jp_next(p)) == TOKEN_ARRAY_BEGIN || token == TOKEN_ARRAY_END) {
    deepest = std::max(deepest, jp_get_depth(p));
  }
  EXPECT_EQ(token, TOKEN_DONE);
  EXPECT_EQ(deepest, 20000u);
  for (const auto& [input, prefix] : {std::pair<std::string, std::string>{"\"ab\\q", "ab"},
                                      {"-12.", "-12."},
                                      {"\"" + std::string(1024, 'x'), std::string(1023, 'x')}}) {
    jp_open_buffer(p, input.data(), input.size());
    EXPECT_EQ(jp_next(p), TOKEN_ERROR);
    size_t length = 0;
    const char* text = jp_get_string(p, &length);
    EXPECT_EQ(std::string(text, length), prefix + '\0');
  }
  jp_open_string(p, nullptr);
  EXPECT_EQ(jp_next(p), TOKEN_DONE);
  jp_open_stream(p, nullptr);
  EXPECT_EQ(jp_next(p), TOKEN_DONE);
  jp_close(p);
  jp_close(p);  // closing twice is harmless
}

// Out of memory is an error token, and a failed growth leaves the depth
// describing the containers that exist. (The sanitizer build finds leaks.)
TEST(JsonAllocator, FailureIsOutOfMemory) {
  const JsonAllocator none = {[](size_t) -> void* { return nullptr; }, nullptr, nullptr};
  const JsonAllocator small = {nullptr, test::refuse_large_blocks, nullptr};
  const std::pair<std::string, const JsonAllocator&> cases[] = {
      {"\"a\"", none},
      {"[7]", none},
      {std::string(100, '['), small},
      {"[\"" + std::string(1500, 'y') + "\"]", small}};
  for (const auto& [input, allocator] : cases) {
    JsonParser p{};
    jp_open_buffer(p, input.data(), input.size());
    jp_set_allocator(p, allocator);
    const std::string out = tokens_of(p);
    EXPECT_TRUE(out.ends_with("ERR:out of memory")) << out.substr(0, 40);
    EXPECT_EQ(jp_get_depth(p), static_cast<size_t>(std::count(out.begin(), out.end(), '[')));
    jp_close(p);
  }
}

}  // namespace
}  // namespace torvi
