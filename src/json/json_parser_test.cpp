#include "json/json_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace torvi {
namespace {

// Renders one token: "{", "}", "[", "]", "true", "false", "null", "DONE",
// "s:<text>" and "n:<text>" (all bytes of the text, NULs included), or
// "ERR:<message>".
std::string render(JsonParser& p, int token, bool with_text = true) {
  switch (token) {
    case TOKEN_OBJECT_BEGIN:
      return "{";
    case TOKEN_OBJECT_END:
      return "}";
    case TOKEN_ARRAY_BEGIN:
      return "[";
    case TOKEN_ARRAY_END:
      return "]";
    case TOKEN_TRUE:
      return "true";
    case TOKEN_FALSE:
      return "false";
    case TOKEN_NULL:
      return "null";
    case TOKEN_DONE:
      return "DONE";
    case TOKEN_ERROR:
      return std::string("ERR:") + (jp_get_error(p) ? jp_get_error(p) : "<none>");
    case TOKEN_STRING:
    case TOKEN_NUMBER: {
      std::string head = token == TOKEN_STRING ? "s" : "n";
      if (!with_text) return head;
      size_t length = 0;
      const char* text = jp_get_string(p, &length);
      return head + ":" + std::string(text, length > 0 ? length - 1 : 0);
    }
    default:
      return "?" + std::to_string(token);
  }
}

// Every token up to and including the first DONE or ERROR, space-separated.
std::string tokens_of(JsonParser& p) {
  std::string out;
  for (int i = 0; i < 100000; ++i) {
    int token = jp_next(p);
    if (!out.empty()) out += ' ';
    out += render(p, token);
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
  const char* name;
  std::string input;
  std::string expected;
  bool streaming = true;
};

void check_cases(const std::vector<TokenCase>& cases) {
  for (const auto& c : cases) {
    EXPECT_EQ(tokens(c.input, c.streaming), c.expected) << c.name;
  }
}

TEST(JsonLiterals, TokensAndMisspellings) {
  check_cases({
      {"true", "true", "true DONE"},
      {"false", "false", "false DONE"},
      {"null", " \t\r\nnull ", "null DONE"},
      {"cut true", "tru", "ERR:expected 'e' instead of end of text"},
      {"misspelt true", "trux", "ERR:expected 'e' instead of byte 'x'"},
      {"split null", "nu ll", "ERR:expected 'l' instead of byte ' '"},
      {"capital", "True", "ERR:unexpected byte 'T' in value"},
      {"form feed is no space", "\f1", "ERR:unexpected byte '\f' in value"},
      {"vertical tab is no space", "\v1", "ERR:unexpected byte '\v' in value"},
      {"glued in streaming", "truefalse", "true DONE"},
      {"glued strict", "truefalse", "true ERR:expected end of text instead of byte 'f'", false},
  });
}

TEST(JsonNumbers, TextAndErrors) {
  check_cases({
      {"zero", "0", "n:0 DONE"},
      {"negative zero", "-0", "n:-0 DONE"},
      {"integer", "123", "n:123 DONE"},
      {"all parts", "-0.5E-3", "n:-0.5E-3 DONE"},
      {"plus exponent", "1E+2", "n:1E+2 DONE"},
      {"fraction", "[3.25,0.0]", "[ n:3.25 n:0.0 ] DONE"},
      {"leading zero streaming", "01", "n:0 DONE"},
      {"leading zero strict", "01", "n:0 ERR:expected end of text instead of byte '1'", false},
      {"leading zero in array", "[01]", "[ n:0 ERR:unexpected byte '1'"},
      {"negative leading zero", "-01", "n:-0 ERR:expected end of text instead of byte '1'", false},
      {"minus alone", "-", "ERR:unexpected end of text in number"},
      {"minus letter", "-a", "ERR:unexpected byte 'a' in number"},
      {"dot at end", "1.", "ERR:expected digit instead of end of text"},
      {"dot letter", "1.x", "ERR:expected digit instead of byte 'x'"},
      {"dot exponent", "1.e5", "ERR:expected digit instead of byte 'e'"},
      {"exponent at end", "1e", "ERR:unexpected end of text in number"},
      {"exponent letter", "1ex", "ERR:unexpected byte 'x' in number"},
      {"exponent sign at end", "1e+", "ERR:expected digit instead of end of text"},
      {"leading dot", ".5", "ERR:unexpected byte '.' in value"},
      {"leading plus", "+1", "ERR:unexpected byte '+' in value"},
      {"number then name", "[1true]", "[ n:1 ERR:unexpected byte 't'"},
  });
}

TEST(JsonNumbers, Values) {
  const std::pair<const char*, double> cases[] = {
      {"-0.5E-3", -0.0005}, {"1e2", 100.0},        {"9007199254740993", 9007199254740992.0},
      {"1e400", HUGE_VAL},  {"-1e400", -HUGE_VAL},
  };
  for (const auto& [input, expected] : cases) {
    JsonParser p{};
    jp_open_string(p, input);
    ASSERT_EQ(jp_next(p), TOKEN_NUMBER) << input;
    EXPECT_EQ(jp_get_number(p), expected) << input;
    jp_close(p);
  }
}

TEST(JsonStrings, EscapesAndErrors) {
  check_cases({
      {"plain", "\"ab\"", "s:ab DONE"},
      {"empty", "\"\"", "s: DONE"},
      {"simple escapes", R"("\\\/\"\b\f\n\r\t")", "s:\\/\"\b\f\n\r\t DONE"},
      {"unknown escape", R"("\x")", "ERR:invalid escaped byte 'x'"},
      {"single quote escape", R"("\'")", "ERR:invalid escaped byte '''"},
      {"unterminated", "\"abc", "ERR:unterminated string literal"},
      {"unterminated escape", "\"abc\\", "ERR:unterminated string literal in escape"},
      {"control byte", "\"a\x01\"", "ERR:unescaped control character in string"},
      {"raw line feed", "\"a\nb\"", "ERR:unescaped control character in string"},
      {"NUL byte in buffer", std::string("\"a\0b\"", 5),
       "ERR:unescaped control character in string"},
      {"u ascii", R"("\u0041")", "s:A DONE"},
      {"u two bytes", R"("\u00e9")", "s:\xc3\xa9 DONE"},
      {"u three bytes bottom", R"("\u0800")", "s:\xe0\xa0\x80 DONE"},
      {"u three bytes top", R"("\uFFFF")", "s:\xef\xbf\xbf DONE"},
      {"u NUL kept", R"("a\u0000b")", std::string("s:a\0b DONE", 10)},
      {"u cut", R"("\u12)", "ERR:unterminated string literal in Unicode"},
      {"u bad digit", R"("\u12G4")", "ERR:invalid escape Unicode byte 'G'"},
      {"u quote among digits", R"("\u1")", "ERR:invalid escape Unicode byte '\"'"},
      {"strict trailing", "\"a\" \"b\"", "s:a ERR:expected end of text instead of byte '\"'",
       false},
  });
}

TEST(JsonStrings, Surrogates) {
  check_cases({
      {"pair", R"("\ud83d\ude00")", "s:\xf0\x9f\x98\x80 DONE"},
      {"lowest pair", R"("\uD800\uDC00")", "s:\xf0\x90\x80\x80 DONE"},
      {"highest pair", R"("\udbff\udfff")", "s:\xf4\x8f\xbf\xbf DONE"},
      {"low alone", R"("\ude00")", "ERR:dangling surrogate \\ude00"},
      {"high at end", R"("\ud83d)", "ERR:unterminated string literal in Unicode"},
      {"high then text", R"("\ud83dx")",
       "ERR:invalid continuation for surrogate pair 'x', expected '\\'"},
      {"high then other escape", R"("\ud83d\n")",
       "ERR:invalid continuation for surrogate pair 'n', expected 'u'"},
      {"high then backslash at end", R"("\ud83d\)", "ERR:unterminated string literal in Unicode"},
      {"high then high", R"("\ud83d\ud83d")",
       "ERR:surrogate pair continuation \\ud83d out of range (dc00-dfff)"},
      {"high then ascii", R"("\ud83d\u0041")",
       "ERR:surrogate pair continuation \\u0041 out of range (dc00-dfff)"},
      {"second half cut", R"("\ud83d\ude0")", "ERR:invalid escape Unicode byte '\"'"},
  });
}

TEST(JsonStrings, RawUtf8) {
  check_cases({
      {"two bytes", "\"\xc2\x80\xdf\xbf\"", "s:\xc2\x80\xdf\xbf DONE"},
      {"three bytes", "\"\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf\"",
       "s:\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf DONE"},
      {"four bytes", "\"\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\"",
       "s:\xf0\x90\x80\x80\xf4\x8f\xbf\xbf DONE"},
      {"overlong NUL", "\"\xc0\x80\"", "ERR:invalid UTF-8 character"},
      {"lone continuation", "\"\x80\"", "ERR:invalid UTF-8 character"},
      {"lead F5", "\"\xf5\x80\x80\x80\"", "ERR:invalid UTF-8 character"},
      {"byte FF", "\"\xff\"", "ERR:invalid UTF-8 character"},
      {"overlong three", "\"\xe0\x80\x80\"", "ERR:invalid UTF-8 text"},
      {"surrogate form", "\"\xed\xa0\x80\"", "ERR:invalid UTF-8 text"},
      {"overlong four", "\"\xf0\x8f\xbf\xbf\"", "ERR:invalid UTF-8 text"},
      {"above U+10FFFF", "\"\xf4\x90\x80\x80\"", "ERR:invalid UTF-8 text"},
      {"bad third byte", "\"\xe1\x80\xc0\"", "ERR:invalid UTF-8 text"},
      {"bad fourth byte", "\"\xf1\x80\x80\x7f\"", "ERR:invalid UTF-8 text"},
      {"cut by quote", "\"\xc3\"", "ERR:invalid UTF-8 text"},
      {"cut by end", "\"\xe2\x82", "ERR:invalid UTF-8 text"},
      {"FF is a byte, not the end", "[1]\xff",
       "[ n:1 ] ERR:expected end of text instead of byte '\xff'", false},
      {"FF starts no value", "\xff", "ERR:unexpected byte '\xff' in value"},
  });
}

TEST(JsonContainers, GrammarAndErrors) {
  check_cases({
      {"empty array", "[]", "[ ] DONE"},
      {"empty object", " { } ", "{ } DONE"},
      {"array", "[1, \"a\" ,true,null,false]", "[ n:1 s:a true null false ] DONE"},
      {"object", R"({"a":1,"b":[true,{}],"c":{"d":null}})",
       "{ s:a n:1 s:b [ true { } ] s:c { s:d null } } DONE"},
      {"nested arrays", "[[[]],[]]", "[ [ [ ] ] [ ] ] DONE"},
      {"open array", "[", "[ ERR:unexpected end of text"},
      {"open after element", "[1", "[ n:1 ERR:unexpected end of text"},
      {"missing comma", "[1 2]", "[ n:1 ERR:unexpected byte '2'"},
      {"trailing comma", "[1,]", "[ n:1 ERR:unexpected byte ']' in value"},
      {"leading comma", "[,1]", "[ ERR:unexpected byte ',' in value"},
      {"wrong close after element", "[1}", "[ n:1 ERR:unexpected byte '}'"},
      {"wrong close empty", "[}", "[ ERR:unexpected byte '}' in value"},
      {"stray close", "]", "ERR:unexpected byte ']' in value"},
      {"open object", "{", "{ ERR:unexpected end of text"},
      {"number as name", "{1:2}", "{ ERR:expected member name or '}'"},
      {"array as name", "{[]:2}", "{ ERR:expected member name or '}'"},
      {"no colon", R"({"a"})", "{ s:a ERR:expected ':' after member name"},
      {"missing value", R"({"a":})", "{ s:a ERR:unexpected byte '}' in value"},
      {"missing comma", R"({"a":1 "b":2})", "{ s:a n:1 ERR:expected ',' or '}' after member value"},
      {"wrong close", R"({"a":1])", "{ s:a n:1 ERR:expected ',' or '}' after member value"},
      {"object cut", R"({"a":1)", "{ s:a n:1 ERR:expected ',' or '}' after member value"},
      {"trailing comma", R"({"a":1,})", "{ s:a n:1 ERR:unexpected byte '}' in value"},
      {"number after comma", R"({"a":1,2:3})", "{ s:a n:1 ERR:expected member name"},
      {"object after comma", R"({"a":1,{})", "{ s:a n:1 ERR:expected member name"},
      {"bad name after comma", R"({"a":1,"\q":2})", "{ s:a n:1 ERR:invalid escaped byte 'q'"},
      {"colon in array", "[1:2]", "[ n:1 ERR:unexpected byte ':'"},
  });
}

TEST(JsonContainers, DeepNestingNeedsNoRecursion) {
  const size_t depth = 100000;
  std::string text(depth, '[');
  text.append(depth, ']');
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

TEST(JsonStreaming, OnAndOff) {
  check_cases({
      {"empty streaming", "", "DONE"},
      {"whitespace streaming", " \r\n\t ", "DONE"},
      {"empty strict", "", "ERR:unexpected end of text", false},
      {"trailing garbage streaming", "[1] x", "[ n:1 ] DONE"},
      {"trailing garbage strict", "[1] x", "[ n:1 ] ERR:expected end of text instead of byte 'x'",
       false},
      {"trailing whitespace strict", "[1] \r\n", "[ n:1 ] DONE", false},
      {"second value strict", "1 2", "n:1 ERR:expected end of text instead of byte '2'", false},
  });
}

TEST(JsonStreaming, DoneRepeatsUntilResetThenNextValue) {
  JsonParser p{};
  jp_open_string(p, "[1] x");
  EXPECT_EQ(tokens_of(p), "[ n:1 ] DONE");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(jp_next(p), TOKEN_DONE);
  jp_close(p);

  jp_open_string(p, "{\"a\":1}\n\"b\" 3\n");
  EXPECT_EQ(tokens_of(p), "{ s:a n:1 } DONE");
  jp_reset(p);
  EXPECT_EQ(tokens_of(p), "s:b DONE");
  jp_reset(p);
  EXPECT_EQ(tokens_of(p), "n:3 DONE");
  jp_reset(p);
  EXPECT_EQ(tokens_of(p), "DONE");
  EXPECT_EQ(jp_get_line(p), 3u);
  jp_close(p);
}

TEST(JsonErrors, FirstErrorIsLatchedUntilReset) {
  JsonParser p{};
  jp_open_string(p, "[1 2] x 5");
  EXPECT_EQ(jp_get_error(p), nullptr);
  EXPECT_EQ(tokens_of(p), "[ n:1 ERR:unexpected byte '2'");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(jp_next(p), TOKEN_ERROR);
    EXPECT_EQ(jp_peek(p), TOKEN_ERROR);
    EXPECT_EQ(jp_skip(p), TOKEN_ERROR);
    EXPECT_STREQ(jp_get_error(p), "unexpected byte '2'");
  }
  jp_reset(p);
  EXPECT_EQ(jp_get_error(p), nullptr);
  EXPECT_EQ(jp_get_depth(p), 0u);
  // The reset parser goes on from where the source stands: "] x 5".
  EXPECT_EQ(tokens_of(p), "ERR:unexpected byte ']' in value");
  jp_reset(p);
  EXPECT_EQ(tokens_of(p), "ERR:unexpected byte 'x' in value");
  jp_reset(p);
  EXPECT_EQ(tokens_of(p), "n:5 DONE");
  jp_close(p);
}

TEST(JsonErrors, TextOfAFailedTokenStaysTerminated) {
  struct Case {
    const char* name;
    std::string input;
    std::string prefix;
  };
  const Case cases[] = {
      {"cut string", "\"abc", "abc"},
      {"cut number", "-12.", "-12."},
      {"full buffer", "\"" + std::string(1024, 'x'), std::string(1023, 'x')},
      {"bad escape", "\"ab\\q", "ab"},
  };
  for (const auto& c : cases) {
    JsonParser p{};
    jp_open_buffer(p, c.input.data(), c.input.size());
    EXPECT_EQ(jp_next(p), TOKEN_ERROR) << c.name;
    size_t length = 0;
    const char* text = jp_get_string(p, &length);
    ASSERT_GT(length, 0u) << c.name;
    EXPECT_EQ(text[length - 1], '\0') << c.name;
    EXPECT_EQ(std::string(text, length - 1), c.prefix) << c.name;
    jp_close(p);
  }
}

// Operations: n next, p peek, s skip, u skip_until(OBJECT_BEGIN), r reset.
std::string run_ops(const std::string& text, const std::string& ops) {
  JsonParser p{};
  jp_open_buffer(p, text.data(), text.size());
  std::string out;
  for (char op : ops) {
    int token = 0;
    switch (op) {
      case 'n':
        token = jp_next(p);
        break;
      case 'p':
        token = jp_peek(p);
        break;
      case 's':
        token = jp_skip(p);
        break;
      case 'u':
        token = jp_skip_until(p, TOKEN_OBJECT_BEGIN);
        break;
      case 'r':
        jp_reset(p);
        continue;
    }
    if (!out.empty()) out += ' ';
    out += render(p, token, false);
  }
  jp_close(p);
  return out;
}

TEST(JsonSkipPeek, Operations) {
  struct Case {
    const char* name;
    std::string input;
    std::string ops;
    std::string expected;
  };
  const Case cases[] = {
      {"skip elements", "[1,[2,[3]],{\"a\":[4]},5]", "nssssn", "[ n [ { n ]"},
      {"skip ends at the closing byte", "[1]", "nsss", "[ n ] DONE"},
      {"skip a member value", R"({"a":[1,{"b":2}],"c":3})", "nnsnnn", "{ s [ s n }"},
      {"skip whole document", R"({"a":[1,{"b":2}]})", "sn", "{ DONE"},
      {"skip meets error", "[1,[2,x]]", "nss", "[ n ERR:unexpected byte 'x' in value"},
      {"skip meets end", "[[1,2", "ns", "[ ERR:unexpected end of text"},
      {"skip on empty", "", "s", "DONE"},
      {"peek holds", "[1]", "ppnpnnpn", "[ [ [ n n ] DONE DONE"},
      {"peek then skip", "[[1],2]", "npsn", "[ [ [ n"},
      {"skip until object", R"({"a":1,"b":{"c":2},"d":3})", "nun", "{ { s"},
      {"skip until misses", "[1,2]", "nu", "[ DONE"},
      {"skip until error", "[1,x]", "nu", "[ ERR:unexpected byte 'x' in value"},
      {"peeked DONE is dropped by reset", "1 2",
       "npr"
       "nn",
       "n DONE n DONE"},
      {"peeked error is dropped by reset", "x 2", "prn", "ERR:unexpected byte 'x' in value n"},
      {"peeked container is dropped by reset", "[1] [2]",
       "nnnnr"
       "pr"
       "n",
       "[ n ] DONE [ n"},
  };
  for (const auto& c : cases) EXPECT_EQ(run_ops(c.input, c.ops), c.expected) << c.name;
}

TEST(JsonQueries, ContextCountsNamesAndValues) {
  JsonParser p{};
  jp_open_string(p, R"({"a":[1,2],"b":3})");
  int count = -1;
  EXPECT_EQ(jp_get_context(p, &count), TOKEN_DONE);
  EXPECT_EQ(count, 0);
  const struct {
    int token;
    int context;
    int count;
  } steps[] = {
      {TOKEN_OBJECT_BEGIN, TOKEN_OBJECT_BEGIN, 0}, {TOKEN_STRING, TOKEN_OBJECT_BEGIN, 1},
      {TOKEN_ARRAY_BEGIN, TOKEN_ARRAY_BEGIN, 0},   {TOKEN_NUMBER, TOKEN_ARRAY_BEGIN, 1},
      {TOKEN_NUMBER, TOKEN_ARRAY_BEGIN, 2},        {TOKEN_ARRAY_END, TOKEN_OBJECT_BEGIN, 2},
      {TOKEN_STRING, TOKEN_OBJECT_BEGIN, 3},       {TOKEN_NUMBER, TOKEN_OBJECT_BEGIN, 4},
      {TOKEN_OBJECT_END, TOKEN_DONE, 0},
  };
  for (const auto& s : steps) {
    ASSERT_EQ(jp_next(p), s.token);
    EXPECT_EQ(jp_get_context(p, &count), s.context) << s.token;
    EXPECT_EQ(count, s.count) << s.token;
  }
  jp_close(p);
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
  EXPECT_EQ(jp_get_number(p), 12.0);
  // The number's end was only peeked at.
  EXPECT_EQ(jp_get_position(p), 10u);
  EXPECT_EQ(jp_source_peek(p), ',');
  EXPECT_EQ(jp_get_line(p), 2u);
  EXPECT_EQ(jp_next(p), TOKEN_STRING);
  const char* text = jp_get_string(p, &length);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(std::strlen(text), 0u);
  EXPECT_EQ(text[1], 'x');
  EXPECT_EQ(jp_next(p), TOKEN_ARRAY_END);
  EXPECT_EQ(jp_get_line(p), 4u);
  EXPECT_EQ(jp_source_get(p), -1);
  jp_close(p);
  jp_close(p);  // closing twice is harmless
}

TEST(JsonQueries, RawSourceAccess) {
  JsonParser p{};
  jp_open_string(p, "a\nb");
  EXPECT_EQ(jp_source_peek(p), 'a');
  EXPECT_EQ(jp_source_get(p), 'a');
  EXPECT_EQ(jp_source_get(p), '\n');
  EXPECT_EQ(jp_get_line(p), 2u);
  EXPECT_EQ(jp_source_get(p), 'b');
  EXPECT_EQ(jp_source_peek(p), -1);
  EXPECT_EQ(jp_source_get(p), -1);
  EXPECT_EQ(jp_get_position(p), 3u);
  jp_close(p);
}

// A user source over a string, for comparing the three kinds of source.
struct UserText {
  std::string text;
  size_t at = 0;
};

int user_get(void* data) {
  auto* u = static_cast<UserText*>(data);
  return u->at < u->text.size() ? static_cast<unsigned char>(u->text[u->at++]) : -1;
}

int user_peek(void* data) {
  auto* u = static_cast<UserText*>(data);
  return u->at < u->text.size() ? static_cast<unsigned char>(u->text[u->at]) : -1;
}

TEST(JsonSources, StreamAndUserReadLikeBuffer) {
  const std::string docs[] = {
      R"({"a":[1,-2.5e3,true,false,null],"b":"\u00e9\ud83d\ude00"})",
      "[1,2] trailing",
      std::string("\"\xff\"x"),
      "  \n",
      "[1,",
  };
  for (bool streaming : {true, false}) {
    for (const auto& doc : docs) {
      std::string expected = tokens(doc, streaming);

      FILE* f = std::tmpfile();
      ASSERT_NE(f, nullptr);
      std::fwrite(doc.data(), 1, doc.size(), f);
      std::rewind(f);
      JsonParser p{};
      jp_open_stream(p, f);
      jp_set_streaming(p, streaming);
      EXPECT_EQ(tokens_of(p), expected) << doc;
      size_t stream_position = jp_get_position(p);
      jp_close(p);
      std::fclose(f);

      UserText u{doc};
      jp_open_user(p, user_get, user_peek, &u);
      jp_set_streaming(p, streaming);
      EXPECT_EQ(tokens_of(p), expected) << doc;
      EXPECT_EQ(jp_get_position(p), stream_position) << doc;
      EXPECT_EQ(jp_get_position(p), u.at) << doc;
      jp_close(p);
    }
  }
}

TEST(JsonSources, MissingSourceReadsAsEmpty) {
  JsonParser p{};
  jp_open_string(p, nullptr);
  EXPECT_EQ(jp_next(p), TOKEN_DONE);
  jp_open_stream(p, nullptr);
  EXPECT_EQ(jp_next(p), TOKEN_DONE);
  jp_open_user(p, nullptr, nullptr, nullptr);
  EXPECT_EQ(jp_next(p), TOKEN_DONE);
  jp_close(p);
}

// Counting allocator whose calls start failing after a budget.
struct AllocLog {
  int budget = 0;
  int live = 0;
} g_alloc;

void* test_allocate(size_t size) {
  if (g_alloc.budget-- <= 0) return nullptr;
  ++g_alloc.live;
  return std::malloc(size);
}

void* test_reallocate(void* block, size_t size) {
  if (g_alloc.budget-- <= 0) return nullptr;
  if (!block) ++g_alloc.live;
  return std::realloc(block, size);
}

void test_release(void* block) {
  if (block) --g_alloc.live;
  std::free(block);
}

TEST(JsonAllocator, FailureIsOutOfMemory) {
  struct Case {
    const char* name;
    std::string input;
    int budget;
    std::string expected;
    size_t depth_after;
  };
  const Case cases[] = {
      {"no text buffer", "\"a\"", 0, "ERR:out of memory", 0},
      {"no number buffer", "[7]", 1, "[ ERR:out of memory", 1},
      {"no stack", "[1]", 0, "ERR:out of memory", 0},
      {"stack growth", "[[[[[[]]]]]]", 1, "[ [ [ [ ERR:out of memory", 4},
      {"text growth", "\"" + std::string(1500, 'y') + "\"", 1, "ERR:out of memory", 0},
      {"enough", "{\"k\":[\"" + std::string(3000, 'z') + "\"]}", 4,
       "{ s:k [ s:" + std::string(3000, 'z') + " ] } DONE", 0},
  };
  for (const auto& c : cases) {
    g_alloc = AllocLog{c.budget, 0};
    JsonParser p{};
    jp_open_buffer(p, c.input.data(), c.input.size());
    jp_set_allocator(p, JsonAllocator{test_allocate, test_reallocate, test_release});
    EXPECT_EQ(tokens_of(p), c.expected) << c.name;
    // A failed growth leaves depth and context describing the containers
    // that really exist.
    EXPECT_EQ(jp_get_depth(p), c.depth_after) << c.name;
    int count = -1;
    int context = jp_get_context(p, &count);
    EXPECT_EQ(context, c.depth_after ? TOKEN_ARRAY_BEGIN : TOKEN_DONE) << c.name;
    size_t length = 0;
    const char* text = jp_get_string(p, &length);
    if (length > 0) {
      EXPECT_EQ(text[length - 1], '\0') << c.name;
    }
    jp_close(p);
    EXPECT_EQ(g_alloc.live, 0) << c.name;
  }
}

TEST(JsonAllocator, ReopeningReleasesEarlierBlocks) {
  g_alloc = AllocLog{100, 0};
  JsonParser p{};
  jp_open_string(p, "[\"abc\"]");
  jp_set_allocator(p, JsonAllocator{test_allocate, test_reallocate, test_release});
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
  jp_close(p);

  jp_open_string(p, R"({"a":1,"b":2,"c":3})");
  ASSERT_EQ(jp_next(p), TOKEN_OBJECT_BEGIN);
  ASSERT_EQ(jp_next(p), TOKEN_STRING);
  p.stack[p.top].count = INT32_MAX;  // odd: a member name was read
  EXPECT_EQ(tokens_of(p), "n:1 s:b n:2 s:c n:3 } DONE");
  jp_close(p);
}

}  // namespace
}  // namespace torvi
