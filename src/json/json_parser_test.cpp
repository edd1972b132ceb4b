#include "json/json_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace torvi {
namespace {

// One token as text: "{", "true", "DONE", ..., "s:<text>" and "n:<text>" (all
// bytes of the text, NULs included; "s" and "n" alone without text), or
// "ERR:<message>".
std::string render(JsonParser& p, int token, bool with_text = true) {
  static const char* const kNames[] = {"?", "ERR", "DONE", "{",    "}",     "[",
                                       "]", "s",   "n",    "true", "false", "null"};
  if (token < TOKEN_ERROR || token > TOKEN_NULL) return "?" + std::to_string(token);
  if (token == TOKEN_ERROR) return std::string("ERR:") + (jp_get_error(p) ? jp_get_error(p) : "");
  std::string out = kNames[token];
  if ((token == TOKEN_STRING || token == TOKEN_NUMBER) && with_text) {
    size_t length = 0;
    const char* text = jp_get_string(p, &length);
    out += ":" + std::string(text, length > 0 ? length - 1 : 0);
  }
  return out;
}

// Every token up to and including the first DONE or ERROR, space-separated.
std::string tokens_of(JsonParser& p) {
  std::string out;
  for (int i = 0; i < 100000; ++i) {
    int token = jp_next(p);
    out += (out.empty() ? "" : " ") + render(p, token);
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

struct TokenCase {
  std::string input;
  std::string expected;
  bool streaming = true;
};

void check_cases(const std::vector<TokenCase>& cases) {
  for (const auto& c : cases) EXPECT_EQ(tokens(c.input, c.streaming), c.expected) << c.input;
}

TEST(JsonTokens, LiteralsAndNumbers) {
  check_cases({
      {" \t\r\nnull ", "null DONE"},
      {"tru", "ERR:expected 'e' instead of end of text"},
      {"trux", "ERR:expected 'e' instead of byte 'x'"},
      {"True", "ERR:unexpected byte 'T' in value"},
      {"\f1", "ERR:unexpected byte '\f' in value"},  // form feed is no space
      {"+1", "ERR:unexpected byte '+' in value"},
      {".5", "ERR:unexpected byte '.' in value"},
      {"truefalse", "true DONE"},
      {"truefalse", "true ERR:expected end of text instead of byte 'f'", false},
      {"01", "n:0 ERR:expected end of text instead of byte '1'", false},
      {"-01", "n:-0 ERR:expected end of text instead of byte '1'", false},
      {"-", "ERR:unexpected end of text in number"},
      {"-a", "ERR:unexpected byte 'a' in number"},
      {"1.", "ERR:expected digit instead of end of text"},
      {"1.x", "ERR:expected digit instead of byte 'x'"},
      {"1e", "ERR:unexpected end of text in number"},
      {"1ex", "ERR:unexpected byte 'x' in number"},
      {"1e+", "ERR:expected digit instead of end of text"},
  });
  // The text is the input unchanged; the value is strtod's.
  const std::pair<const char*, double> numbers[] = {
      {"-0", 0.0},         {"-0.5E-3", -0.0005},  {"9007199254740993", 9007199254740992.0},
      {"1e400", HUGE_VAL}, {"-1e400", -HUGE_VAL}, {"1E+2", 100.0},
  };
  for (const auto& [input, value] : numbers) {
    JsonParser p{};
    jp_open_string(p, input);
    EXPECT_EQ(tokens_of(p), std::string("n:") + input + " DONE");
    EXPECT_EQ(jp_get_number(p), value) << input;
    jp_close(p);
  }
}

TEST(JsonTokens, Strings) {
  check_cases({
      {"\"\"", "s: DONE"},
      {R"("\\\/\"\b\f\n\r\t")", "s:\\/\"\b\f\n\r\t DONE"},
      {R"("\x")", "ERR:invalid escaped byte 'x'"},
      {"\"abc", "ERR:unterminated string literal"},
      {"\"abc\\", "ERR:unterminated string literal in escape"},
      {"\"a\x01\"", "ERR:unescaped control character in string"},
      {std::string("\"a\0b\"", 5), "ERR:unescaped control character in string"},
      // Each UTF-8 length at both of its ends.
      {R"("\u007f\u0080\u07FF\u0800\uffff")",
       "s:\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf DONE"},
      {R"("a\u0000b")", std::string("s:a\0b DONE", 10)},
      {R"("\u12)", "ERR:unterminated string literal in Unicode"},
      {R"("\u12G4")", "ERR:invalid escape Unicode byte 'G'"},
      // Surrogate pairs: the lowest, the highest and one between.
      {R"("\uD800\uDC00\udbff\udfff\ud83d\ude00")",
       "s:\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\xf0\x9f\x98\x80 DONE"},
      {R"("\ude00")", "ERR:dangling surrogate \\ude00"},
      {R"("\ud83d)", "ERR:unterminated string literal in Unicode"},
      {R"("\ud83dx")", "ERR:invalid continuation for surrogate pair 'x', expected '\\'"},
      {R"("\ud83d\n")", "ERR:invalid continuation for surrogate pair 'n', expected 'u'"},
      {R"("\ud83d\)", "ERR:unterminated string literal in Unicode"},
      {R"("\ud83d\u0041")", "ERR:surrogate pair continuation \\u0041 out of range (dc00-dfff)"},
      {R"("\ud83d\ue000")", "ERR:surrogate pair continuation \\ue000 out of range (dc00-dfff)"},
      // Raw UTF-8: every length at both ends, then each kind of damage.
      {"\"\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\"",
       "s:\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf "
       "DONE"},
      {"\"\xc1\xbf\"", "ERR:invalid UTF-8 character"},
      {"\"\xf5\x80\x80\x80\"", "ERR:invalid UTF-8 character"},
      {"\"\xe0\x9f\xbf\"", "ERR:invalid UTF-8 text"},      // overlong
      {"\"\xed\xa0\x80\"", "ERR:invalid UTF-8 text"},      // surrogate
      {"\"\xf0\x8f\xbf\xbf\"", "ERR:invalid UTF-8 text"},  // overlong
      {"\"\xf4\x90\x80\x80\"", "ERR:invalid UTF-8 text"},  // above U+10FFFF
      {"\"\xe1\x80\xc0\"", "ERR:invalid UTF-8 text"},
      {"\"\xf1\x80\x80\x7f\"", "ERR:invalid UTF-8 text"},
      {"\"\xc3\"", "ERR:invalid UTF-8 text"},
      {"\"\xe2\x82", "ERR:invalid UTF-8 text"},
      {"[1]\xff", "[ n:1 ] ERR:expected end of text instead of byte '\xff'", false},
      {"\xff", "ERR:unexpected byte '\xff' in value"},
  });
}

TEST(JsonTokens, ContainersAndStreaming) {
  check_cases({
      {"[1, \"a\" ,true,null,false]", "[ n:1 s:a true null false ] DONE"},
      {R"({"a":1,"b":[true,{ }],"c":{"d":null}})",
       "{ s:a n:1 s:b [ true { } ] s:c { s:d null } } DONE"},
      {"[[[]],[]]", "[ [ [ ] ] [ ] ] DONE"},
      {"[", "[ ERR:unexpected end of text"},
      {"[1", "[ n:1 ERR:unexpected end of text"},
      {"[1 2]", "[ n:1 ERR:unexpected byte '2'"},
      {"[1,]", "[ n:1 ERR:unexpected byte ']' in value"},
      {"[,1]", "[ ERR:unexpected byte ',' in value"},
      {"{1:2}", "{ ERR:expected member name or '}'"},
      {R"({"a"})", "{ s:a ERR:expected ':' after member name"},
      {R"({"a":1 "b":2})", "{ s:a n:1 ERR:expected ',' or '}' after member value"},
      {R"({"a":1,})", "{ s:a n:1 ERR:unexpected byte '}' in value"},
      {R"({"a":1,2:3})", "{ s:a n:1 ERR:expected member name"},
      {R"({"a":1,"\q":2})", "{ s:a n:1 ERR:invalid escaped byte 'q'"},
      {" \r\n\t ", "DONE"},
      {"", "ERR:unexpected end of text", false},
      {"[1] x", "[ n:1 ] DONE"},
      {"[1] x", "[ n:1 ] ERR:expected end of text instead of byte 'x'", false},
      {"[1] \r\n", "[ n:1 ] DONE", false},
  });
}

TEST(JsonTokens, DeepNestingNeedsNoRecursion) {
  const size_t depth = 20000;
  std::string text = std::string(depth, '[') + std::string(depth, ']');
  JsonParser p{};
  jp_open_buffer(p, text.data(), text.size());
  jp_set_streaming(p, false);
  size_t deepest = 0;
  int token;
  while ((token = jp_next(p)) != TOKEN_DONE && token != TOKEN_ERROR) {
    deepest = std::max(deepest, jp_get_depth(p));
  }
  EXPECT_EQ(token, TOKEN_DONE);
  EXPECT_EQ(deepest, depth);
  EXPECT_EQ(jp_get_depth(p), 0u);
  jp_close(p);
}

TEST(JsonTokens, TextOfAFailedTokenStaysTerminated) {
  const std::pair<std::string, std::string> cases[] = {
      {"\"ab\\q", "ab"}, {"-12.", "-12."}, {"\"" + std::string(1024, 'x'), std::string(1023, 'x')}};
  for (const auto& [input, prefix] : cases) {
    JsonParser p{};
    jp_open_buffer(p, input.data(), input.size());
    EXPECT_EQ(jp_next(p), TOKEN_ERROR);
    size_t length = 0;
    const char* text = jp_get_string(p, &length);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(text[length - 1], '\0');
    EXPECT_EQ(std::string(text, length - 1), prefix);
    jp_close(p);
  }
}

// Operations: n next, p peek, s skip, u skip_until(OBJECT_BEGIN), r reset,
// e the latched error ("e:" when there is none), c the context and its count.
std::string run_ops(const std::string& text, const std::string& ops) {
  JsonParser p{};
  jp_open_buffer(p, text.data(), text.size());
  std::string out;
  for (char op : ops) {
    std::string step;
    if (op == 'r') {
      jp_reset(p);
      continue;
    } else if (op == 'e') {
      step = std::string("e:") + (jp_get_error(p) ? jp_get_error(p) : "");
    } else if (op == 'c') {
      int count = -1;
      step = render(p, jp_get_context(p, &count));
      step += std::to_string(count);
    } else {
      int token = op == 'n'   ? jp_next(p)
                  : op == 'p' ? jp_peek(p)
                  : op == 's' ? jp_skip(p)
                              : jp_skip_until(p, TOKEN_OBJECT_BEGIN);
      step = render(p, token, false);
    }
    out += (out.empty() ? "" : " ") + step;
  }
  jp_close(p);
  return out;
}

TEST(JsonTokens, SkipPeekAndReset) {
  const std::string e2 = "ERR:unexpected byte '2'";
  const struct {
    std::string input, ops, expected;
  } cases[] = {
      {"[1,[2,[3]],{\"a\":[4]},5]", "nssssn", "[ n [ { n ]"},
      {"[1]", "nsss", "[ n ] DONE"},
      {R"({"a":[1,{"b":2}],"c":3})", "nnsnnn", "{ s [ s n }"},
      {R"({"a":[1,{"b":2}]})", "sn", "{ DONE"},
      {"[1,[2,x]]", "nss", "[ n ERR:unexpected byte 'x' in value"},
      {"[[1,2", "ns", "[ ERR:unexpected end of text"},
      {"", "s", "DONE"},
      {"[1]", "ppnpnnpn", "[ [ [ n n ] DONE DONE"},
      {"[[1],2]", "npsn", "[ [ [ n"},
      {R"({"a":1,"b":{"c":2},"d":3})", "nun", "{ { s"},
      {"[1,2]", "nu", "[ DONE"},
      {"[1,x]", "nu", "[ ERR:unexpected byte 'x' in value"},
      // DONE repeats until a reset; then the source goes on with the next value.
      {"[1] x", "nnnnn", "[ n ] DONE DONE"},
      {"{\"a\":1}\n\"b\" 3\n", "nnnnnrnnrnnrn", "{ s n } DONE s DONE n DONE DONE"},
      // The first error stays until a reset, which goes on from where the source stands.
      {"[1 2] x 5", "ennnpsnpse",
       "e: [ n " + e2 + " " + e2 + " " + e2 + " " + e2 + " " + e2 + " " + e2 +
           " e:" + e2.substr(4)},
      {"[1 2] x 5", "nnnrenrnrnn",
       "[ n " + e2 +
           " e: ERR:unexpected byte ']' in value ERR:unexpected byte 'x' in value n DONE"},
      // A token peeked before a reset is dropped with it.
      {"1 2", "nprnn", "n DONE n DONE"},
      {"x 2", "prn", "ERR:unexpected byte 'x' in value n"},
      {"[1] [2]", "nnnnrprn", "[ n ] DONE [ n"},
      // Context counts member names and values alike.
      {R"({"a":[1,2],"b":3})", "cncncncncncncncncnc",
       "DONE0 { {0 s {1 [ [0 n [1 n [2 ] {2 s {3 n {4 } DONE0"},
  };
  for (const auto& c : cases) EXPECT_EQ(run_ops(c.input, c.ops), c.expected) << c.input;
}

TEST(JsonQueries, StringLengthLineAndPosition) {
  JsonParser p{};
  jp_open_string(p, "[\"ab\",\n 12,\n\"\\u0000x\"\n]");
  size_t length = 99;
  EXPECT_STREQ(jp_get_string(p, &length), "");
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(jp_get_number(p), 0.0);
  EXPECT_EQ(jp_get_line(p), 1u);
  EXPECT_EQ(jp_next(p), TOKEN_ARRAY_BEGIN);
  EXPECT_EQ(jp_next(p), TOKEN_STRING);
  EXPECT_STREQ(jp_get_string(p, &length), "ab");
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(jp_get_position(p), 5u);
  EXPECT_EQ(jp_next(p), TOKEN_NUMBER);
  EXPECT_EQ(jp_get_position(p), 10u);  // the number's end was only peeked at
  EXPECT_EQ(jp_source_peek(p), ',');
  EXPECT_EQ(jp_get_line(p), 2u);
  EXPECT_EQ(jp_next(p), TOKEN_STRING);
  const char* text = jp_get_string(p, &length);
  EXPECT_EQ(std::string(text, length), std::string("\0x\0", 3));
  EXPECT_EQ(jp_source_get(p), '\n');  // raw bytes count lines too
  EXPECT_EQ(jp_get_line(p), 4u);
  EXPECT_EQ(jp_source_get(p), ']');
  EXPECT_EQ(jp_source_peek(p), -1);
  EXPECT_EQ(jp_source_get(p), -1);
  EXPECT_EQ(jp_get_position(p), 23u);
  jp_close(p);
  jp_close(p);  // closing twice is harmless
}

TEST(JsonSources, StreamAndUserReadLikeBuffer) {
  struct UserText {
    std::string text;
    size_t at = 0;
  };
  const JsonUserGet get = [](void* d) {
    auto* u = static_cast<UserText*>(d);
    return u->at < u->text.size() ? static_cast<unsigned char>(u->text[u->at++]) : -1;
  };
  const JsonUserPeek peek = [](void* d) {
    auto* u = static_cast<UserText*>(d);
    return u->at < u->text.size() ? static_cast<unsigned char>(u->text[u->at]) : -1;
  };
  const std::string docs[] = {R"({"a":[1,-2.5e3,true,false,null],"b":"\u00e9\ud83d\ude00"})",
                              "[1,2] trailing", "\"\xff\"x", "  \n", "[1,"};
  for (bool streaming : {true, false}) {
    for (const auto& doc : docs) {
      const std::string expected = tokens(doc, streaming);
      FILE* f = fmemopen(const_cast<char*>(doc.data()), doc.size(), "r");
      ASSERT_NE(f, nullptr);
      JsonParser p{};
      jp_open_stream(p, f);
      jp_set_streaming(p, streaming);
      EXPECT_EQ(tokens_of(p), expected) << doc;
      const size_t stream_position = jp_get_position(p);
      std::fclose(f);

      UserText u{doc};
      jp_open_user(p, get, peek, &u);
      jp_set_streaming(p, streaming);
      EXPECT_EQ(tokens_of(p), expected) << doc;
      EXPECT_EQ(jp_get_position(p), stream_position) << doc;
      EXPECT_EQ(jp_get_position(p), u.at) << doc;
      jp_close(p);
    }
  }
  // A missing source reads as empty.
  JsonParser p{};
  jp_open_string(p, nullptr);
  EXPECT_EQ(jp_next(p), TOKEN_DONE);
  jp_open_stream(p, nullptr);
  EXPECT_EQ(jp_next(p), TOKEN_DONE);
  jp_open_user(p, nullptr, nullptr, nullptr);
  EXPECT_EQ(jp_next(p), TOKEN_DONE);
  jp_close(p);
}

// A counting allocator whose calls start failing once its budget is spent.
struct AllocLog {
  int budget = 0;
  int live = 0;
} g_alloc;

const JsonAllocator kCounting = {[](size_t size) -> void* {
                                   if (g_alloc.budget-- <= 0) return nullptr;
                                   ++g_alloc.live;
                                   return std::malloc(size);
                                 },
                                 [](void* block, size_t size) -> void* {
                                   if (g_alloc.budget-- <= 0) return nullptr;
                                   if (!block) ++g_alloc.live;
                                   return std::realloc(block, size);
                                 },
                                 [](void* block) {
                                   if (block) --g_alloc.live;
                                   std::free(block);
                                 }};

TEST(JsonAllocator, FailureIsOutOfMemory) {
  const struct {
    std::string input;
    int budget;
    std::string expected;
    size_t depth_after;
  } cases[] = {
      {"\"a\"", 0, "ERR:out of memory", 0},                               // no text buffer
      {"[7]", 1, "[ ERR:out of memory", 1},                               // no number buffer
      {"[1]", 0, "ERR:out of memory", 0},                                 // no stack
      {"[[[[[[]]]]]]", 1, "[ [ [ [ ERR:out of memory", 4},                // stack growth
      {"\"" + std::string(1500, 'y') + "\"", 1, "ERR:out of memory", 0},  // text growth
      {"{\"k\":[\"" + std::string(3000, 'z') + "\"]}", 4,
       "{ s:k [ s:" + std::string(3000, 'z') + " ] } DONE", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 20));
    g_alloc = AllocLog{c.budget, 0};
    JsonParser p{};
    jp_open_buffer(p, c.input.data(), c.input.size());
    jp_set_allocator(p, kCounting);
    EXPECT_EQ(tokens_of(p), c.expected);
    // A failed growth leaves depth and context describing the containers
    // that really exist.
    EXPECT_EQ(jp_get_depth(p), c.depth_after);
    EXPECT_EQ(jp_get_context(p), c.depth_after ? TOKEN_ARRAY_BEGIN : TOKEN_DONE);
    size_t length = 0;
    const char* text = jp_get_string(p, &length);
    if (length > 0) {
      EXPECT_EQ(text[length - 1], '\0');
    }
    jp_close(p);
    EXPECT_EQ(g_alloc.live, 0);
  }
  // Opening again releases what the earlier opening allocated.
  g_alloc = AllocLog{100, 0};
  JsonParser p{};
  jp_open_string(p, "[\"abc\"]");
  jp_set_allocator(p, kCounting);
  EXPECT_EQ(tokens_of(p), "[ s:abc ] DONE");
  EXPECT_EQ(g_alloc.live, 2);
  jp_open_string(p, "\"x\"");
  EXPECT_EQ(g_alloc.live, 0);
  size_t length = 7;
  EXPECT_STREQ(jp_get_string(p, &length), "");
  EXPECT_EQ(length, 0u);
  jp_close(p);
}

TEST(JsonCounts, HugeContainersKeepTheirGrammar) {
  // Counts of 2^31 tokens are out of reach of a test, so the entry is set
  // just below the limit by hand.
  JsonParser p{};
  jp_open_string(p, "[0,1,2,3]");
  ASSERT_EQ(jp_next(p), TOKEN_ARRAY_BEGIN);
  ASSERT_EQ(jp_next(p), TOKEN_NUMBER);
  p.stack[p.top].count = INT32_MAX - 1;
  EXPECT_EQ(tokens_of(p), "n:1 n:2 n:3 ] DONE");
  jp_open_string(p, R"({"a":1,"b":2,"c":3})");
  ASSERT_EQ(jp_next(p), TOKEN_OBJECT_BEGIN);
  ASSERT_EQ(jp_next(p), TOKEN_STRING);
  p.stack[p.top].count = INT32_MAX;  // odd: a member name was read
  EXPECT_EQ(tokens_of(p), "n:1 s:b n:2 s:c n:3 } DONE");
  jp_close(p);
}

}  // namespace
}  // namespace torvi
