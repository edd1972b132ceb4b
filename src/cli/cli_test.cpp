#include "cli/cli.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <csignal>
#include <cstdlib>
#include <new>
#include <regex>
#include <set>
#include <sstream>

#include "link/verbose.h"
#include "refusing_new.h"
#include "test_support.h"

namespace torvi {
namespace {

// getopt permutes argv, so every run gets its own writable copy.
struct Argv {
  explicit Argv(std::vector<std::string> args) : storage(std::move(args)) {
    storage.insert(storage.begin(), "torvi-cli");
    for (auto& a : storage) pointers.push_back(a.data());
    pointers.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(storage.size()); }
  char** argv() { return pointers.data(); }
  std::vector<std::string> storage;
  std::vector<char*> pointers;
};

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

const std::string kHelp =
    "Help\nversion\t\tShow the command version.\nhelp\t\tShow the command help.\n"
    "action\t\tsetup_channel|get_backup|put_backup|push_firmware.\n"
    "ip\t\tIP address of the controller.\nchannel\t\tChannel number (1-4).\n"
    "channelcsvfile\tChannel CSV file path.\nfirmwarefile\tFirmware binary file path.\n";
const std::string kUnknown = "?? getopt returned character code 077 ??\n";
unsigned g_paused_ms = 0;

TEST(CliOutput, PrintsExactly) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"--help", kHelp},
      {"--ip 10.0.0.1 --help --action x", "IP=10.0.0.1\n" + kHelp},
      {"--version --help", "Version 1.0.0\n"},
      {"--action get_status",
       "ACTION=get_status\noptAction=get_status\nMissing arguments for action get_status."},
      {"--action reboot", "ACTION=reboot\noptAction=reboot\n"},
      {"--action GET_STATUS", "ACTION=GET_STATUS\noptAction=GET_STATUS\n"},
      {"--action none --ip 1.2.3.4 --backupfileout out --backupfileouttype zip --backupfilein "
       "in.zip --firmwarefile fw.bin --backupconfig [\"dali1\"] --channel [1] --channelcsvfile "
       "[\"c.csv\"] --channelgroupscsvfile [\"g.csv\"] --channelinputscsvfile [\"i.csv\"]",
       "ACTION=none\nIP=1.2.3.4\nBackupFileOutout\nBackupFileOutTypezip\nBackupFileInin.zip\n"
       "FIRMWAREFILE=fw.bin\nBackupConfig[\"dali1\"]\nCHANNEL=[1]\n"
       "CHANNELCSVFILE=[\"c.csv\"]\noptarg=#[\"c.csv\"]#CHANNELGROUPSCSVFILE=[\"g.csv\"]\n"
       "optarg=#[\"g.csv\"]#CHANNELINPUTSCSVFILE=[\"i.csv\"]\noptarg=#[\"i.csv\"]#"
       "optAction=none\noptIP=1.2.3.4\noptBackupFileOut=out\noptBackupFileOutType=zip\n"},
      {"-a get_status", "ACTION=(null)\nnon-option ARGV-elements: get_status \noptAction=(null)\n"},
      {"-b", "?? getopt returned character code 0142 ??\n"},
      {"-c [2]", "CHANNEL=[2]\n"},
      {"-c", kUnknown},
      {"-01", "option 0\noption 1\n"},
      {"-0 -1", "option 0\ndigits occur in two different argv-elements.\noption 1\n"},
      {"-02 -2", "option 0\noption 2\ndigits occur in two different argv-elements.\noption 2\n"},
      {"--file x", "option file with arg x\n"},
      {"--delete y", "option delete with arg y\n"},
      {"--create [4]", "CHANNEL=[4]\n"},
      {"--verbose", "option verbose\n"},
      {"--verbo", kUnknown},
      {"--nonsense", kUnknown},
      {"--ip", kUnknown},
      {"--firm f.bin", "FIRMWAREFILE=f.bin\n"},
      {"first --ip h second", "IP=h\nnon-option ARGV-elements: first second \noptIP=h\n"},
      {"--ip a --ip b", "IP=a\nIP=b\noptIP=b\n"},
      {"--channelcsvfile C:\\data\\ch1.csv",
       "CHANNELCSVFILE=C:\\data\\ch1.csv\noptarg=#C:\\data\\ch1.csv#"}};
  for (const auto& [args, out] : cases) {
    test::ConsoleCapture capture;
    Argv a(words(args));
    g_paused_ms = 0;
    EXPECT_EQ(cli_run(a.argc(), a.argv(), [](unsigned ms) { g_paused_ms = ms; }), 0) << args;
    EXPECT_EQ(capture.out(), "torvi-cli\n" + out) << args;
    // The closing pause follows every run but one that help or version ends.
    const bool at_once = out.find("Help\n") != std::string::npos || out.starts_with("Version");
    EXPECT_EQ(g_paused_ms, at_once ? 0u : 4000u) << args;
  }
}

TEST(CliLists, ChannelNumbersAndTexts) {
  const std::pair<const char*, std::vector<std::uint32_t>> numbers[] = {
      {"[1, \"3\", 2.9]", {1, 3, 2}},
      {"[1, [2], 3]", {1, 2}},
      {"[0, 1]", {0, 1}},
      {"3", {3}},
      {"[-1.7]", {0xFFFFFFFFu}},
      {"[1e300]", {0x80000000u}},
      {"[\"x\", true, null, {\"a\": 2}]", {0, 0, 2}},
      {"not json", {}}};
  for (const auto& [json, list] : numbers) EXPECT_EQ(collect_number_list(json), list) << json;
  const std::pair<const char*, std::vector<std::string>> texts[] = {
      {"[\"a.csv\", \"b.csv\"]", {"a.csv", "b.csv"}},
      {"[\"a\", 1, \"b\"]", {"a", "b"}},
      {"[\"a\", [\"b\"], \"c\"]", {"a", "b"}},
      {"[\"tab\\there\", \"\\u00e9\"]", {"tab\there", "\xC3\xA9"}},
      {"[\"a\", oops]", {"a"}},
      {"C:\\dir\\file.csv", {}},
      {"\"one\"", {"one"}}};
  for (const auto& [json, list] : texts) EXPECT_EQ(collect_text_list(json, 0), list) << json;
}

// What the scan stores: a repeated list replaces the earlier one only when
// it yields elements; verbose sets the transfers' flag only when given whole.
TEST(CliOptions, ScanFillsTheRecord) {
  test::ConsoleCapture capture;
  Argv a(
      words("--channel [1,2,3] --channel [4] --backupconfig [\"dali1\",\"cd1\"] "
            "--backupconfig oops --channelcsvfile [] --backupfilein b.zip --verbose"));
  CommandOptions o;
  ASSERT_FALSE(cli_scan_options(a.argc(), a.argv(), o).has_value());
  EXPECT_EQ(o.optChannel, (std::vector<std::uint32_t>{4}));
  EXPECT_EQ(o.optBackupConfig, (std::vector<std::string>{"dali1", "cd1"}));
  EXPECT_FALSE(o.optChannelCsvFile.has_value());
  EXPECT_EQ(o.optBackupFileIn, "b.zip");
  EXPECT_EQ(verbose, 1);
  for (const char* args : {"--verbo", "--ip"}) {
    Argv b({args});
    ASSERT_FALSE(cli_scan_options(b.argc(), b.argv(), o).has_value());
    EXPECT_EQ(verbose, 0) << args;
  }
}

#ifndef _WIN32
// Runs the option scan in a child process whose operator new refuses large
// blocks; returns what the child wrote on standard error and its signal.
std::string scan_without_memory(std::vector<std::string> args, int* signal) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 2);
    dup2(open("/dev/null", O_WRONLY), 1);  // the echo lines
    Argv a(std::move(args));
    CommandOptions options;
    test::refuse_from = 4096;
    cli_scan_options(a.argc(), a.argv(), options);
    _exit(0);
  }
  close(fds[1]);
  std::string err;
  char chunk[256];
  for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) err.append(chunk, n);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  *signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return err;
}
#endif

TEST(CliLists, OutOfMemoryEndsWithTheOptionsOwnLine) {
#ifdef _WIN32
  GTEST_SKIP() << "needs fork(); the scan itself is the same on Windows";
#else
  std::string numbers = "[1", texts = "[\"1\"";
  for (int i = 0; i < 1100; ++i) numbers += ",1", texts += ",\"1\"";
  const std::string long_text = "[\"" + std::string(5000, 'x') + "\"]";
  const std::vector<std::string> cases[] = {{"--channel", texts + "]"},
                                            {"--channel", numbers + "]"},
                                            {"--channelcsvfile", long_text},
                                            {"--channelgroupscsvfile", long_text},
                                            {"--channelinputscsvfile", long_text},
                                            {"--backupconfig", long_text}};
  const std::regex message("Assertion failed: out of memory, file cli\\.cpp, line ([0-9]+)\n");
  std::set<std::string> lines;
  for (const auto& args : cases) {
    int signal = 0;
    const std::string err = scan_without_memory(args, &signal);
    std::smatch match;
    EXPECT_TRUE(std::regex_match(err, match, message)) << args[0] << ": " << err;
    EXPECT_EQ(signal, SIGABRT) << args[0];
    if (match.size() == 2) lines.insert(match[1]);
  }
  EXPECT_EQ(lines.size(), std::size(cases));
#endif
}

// The real binary ends with exit status 0 on a normal run and after help.
TEST(CliBinary, ExitStatus) {
#ifdef _WIN32
  GTEST_SKIP() << "the Windows check runs torvi-cli.exe itself (tests/windows/actions.sh)";
#endif
  for (const char* args : {"", " --help"}) {
    std::string out;
    EXPECT_EQ(test::run_command(std::string(TORVI_CLI_PATH) + args + " 2>/dev/null", &out), 0);
    EXPECT_EQ(out.rfind("torvi-cli\n", 0), 0u) << args;
  }
}

}  // namespace
}  // namespace torvi
