#include "platform/gnu_getopt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>
#ifndef _WIN32
#include <getopt.h>
#endif

#include "platform/console.h"
#include "test_support.h"

namespace torvi {
namespace {

// A table like torvi-cli's: `verbose` twice with different effects, rows
// sharing prefixes.
int g_flag = 0;
const gnu_long_option kOptions[] = {
    {"help", 0, nullptr, 'h'},       {"verbose", 0, &g_flag, 1},
    {"ip", 1, nullptr, 'i'},         {"firmwarefile", 1, nullptr, 'u'},
    {"channel", 1, nullptr, 'c'},    {"channelcsvfile", 1, nullptr, 'f'},
    {"verbose", 0, nullptr, 0},      {"create", 1, nullptr, 'c'},
    {"kind", 1, nullptr, 'k'},       {nullptr, 0, nullptr, 0},
};

struct Case {
  std::vector<std::string> args;
  const char* optstring;
  const char* calls;  // and then "optind=N argv=..."
  const char* diagnostics;
};

const Case kCases[] = {
    {{"first", "--ip", "h", "second"}, "abc:d:012", "i=h@2;-1; 3 --ip h first second", ""},
    {{"--firm", "f.bin", "x"}, "abc:d:012", "u=f.bin@3;-1; 3 --firm f.bin x", ""},
    {{"--ip=1.2.3.4", "--verbose"}, "abc:d:012", "i=1.2.3.4@2;0@1;-1; 3 --ip=1.2.3.4 --verbose",
     ""},
    {{"--verbo"}, "abc:d:012", "?;-1; 2 --verbo",
     "prog: option '--verbo' is ambiguous; possibilities: '--verbose' '--verbose'\n"},
    {{"--cha", "1"}, "abc:d:012", "?;-1; 2 --cha 1",
     "prog: option '--cha' is ambiguous; possibilities: '--channel' '--channelcsvfile'\n"},
    {{"--nonsense=1"}, "abc:d:012", "?;-1; 2 --nonsense=1",
     "prog: unrecognized option '--nonsense=1'\n"},
    {{"--ip"}, "abc:d:012", "?;-1; 2 --ip", "prog: option '--ip' requires an argument\n"},
    {{"--help=x"}, "abc:d:012", "?;-1; 2 --help=x",
     "prog: option '--help' doesn't allow an argument\n"},
    {{"-x", "-c"}, "abc:d:012", "?;?;-1; 3 -x -c",
     "prog: invalid option -- 'x'\nprog: option requires an argument -- 'c'\n"},
    {{"-01", "-a", "get_status", "-c2"}, "abc:d:012", "0;1;a;c=2;-1; 4 -01 -a -c2 get_status",
     ""},
    {{"a", "--", "--ip", "b"}, "abc:d:012", "-1; 2 -- a --ip b", ""},
    // In order, with its own messages: the first non-option ends the scan.
    {{"--kind", "x", "file", "--kind"}, "+:", "k=x@8;-1; 3 --kind x file --kind", ""},
    {{"--kind"}, "+:", ":;-1; 2 --kind", ""},
};

// The calls of one scan as "code[=optarg][@row];" and then where it ended:
// " optind argv[1] argv[2] ...".
template <typename Call>
std::string scan(const Case& c, Call call) {
  std::vector<std::string> storage = c.args;
  storage.insert(storage.begin(), "prog");
  std::vector<char*> argv;
  for (std::string& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(storage.size());
  std::string out;
  int optind_after = 0;
  for (int calls = 0; calls < 20; calls++) {
    int row = -1;
    const char* arg = nullptr;
    const int code = call(argc, argv.data(), row, arg, optind_after);
    out += code == -1 ? "-1" : code == 0 ? "0" : std::string(1, static_cast<char>(code));
    if (arg) out += "=" + std::string(arg);
    if (row >= 0) out += "@" + std::to_string(row);
    out += ";";
    if (code == -1) break;
  }
  out += " " + std::to_string(optind_after);
  for (int i = 1; i < argc; i++) out += " " + std::string(argv[i]);
  return out;
}

TEST(GnuGetopt, ScansAndComplainsAsTheGnuCLibraryDoes) {
  for (const Case& c : kCases) {
    test::ConsoleCapture capture;
    gnu_getopt_state state;
    state.optind = 0;
    state.diagnostics = console_err_stream();
    const std::string ours =
        scan(c, [&](int argc, char** argv, int& row, const char*& arg, int& optind_after) {
          const int code = gnu_getopt_long(argc, argv, c.optstring, kOptions, &row, state);
          arg = state.optarg;
          optind_after = state.optind;
          return code;
        });
    EXPECT_EQ(ours, c.calls) << c.args[0];
    EXPECT_EQ(capture.err(), c.diagnostics) << c.args[0];
#ifndef _WIN32
    // The table itself is checked against the C library it imitates.
    optind = 0;
    const std::string glibc =
        scan(c, [&](int argc, char** argv, int& row, const char*& arg, int& optind_after) {
          opterr = 0;
          const int code = getopt_long(argc, argv, c.optstring,
                                       reinterpret_cast<const option*>(kOptions), &row);
          arg = optarg;
          optind_after = optind;
          return code;
        });
    opterr = 1;
    EXPECT_EQ(glibc, c.calls) << c.args[0];
#endif
  }
}

}  // namespace
}  // namespace torvi
