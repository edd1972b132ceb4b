#include "cli/cli.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "link/verbose.h"
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

std::string run_cli(std::vector<std::string> args, int* status = nullptr) {
  test::ConsoleCapture capture;
  Argv a(std::move(args));
  int s = cli_run(a.argc(), a.argv(), nullptr);
  if (status) *status = s;
  return capture.out();
}

const std::string kHelp =
    "Help\n"
    "version\t\tShow the command version.\n"
    "help\t\tShow the command help.\n"
    "action\t\tsetup_channel|get_backup|put_backup|push_firmware.\n"
    "ip\t\tIP address of the controller.\n"
    "channel\t\tChannel number (1-4).\n"
    "channelcsvfile\tChannel CSV file path.\n"
    "firmwarefile\tFirmware binary file path.\n";

struct OutputCase {
  const char* name;
  std::vector<std::string> args;
  std::string out;
};

class CliOutput : public ::testing::TestWithParam<OutputCase> {};

TEST_P(CliOutput, PrintsExactly) {
  int status = -1;
  EXPECT_EQ(run_cli(GetParam().args, &status), "torvi-cli\n" + GetParam().out);
  EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CliOutput,
    ::testing::Values(
        OutputCase{"no_arguments", {}, ""},
        OutputCase{"help", {"--help"}, kHelp},
        OutputCase{"help_after_ip", {"--ip", "10.0.0.1", "--help", "--action", "x"},
                   "IP=10.0.0.1\n" + kHelp},
        OutputCase{"version", {"--version", "--help"}, "Version 1.0.0\n"},
        OutputCase{"get_status_without_ip",
                   {"--action", "get_status"},
                   "ACTION=get_status\noptAction=get_status\n"
                   "Missing arguments for action get_status."},
        OutputCase{"unknown_action", {"--action", "reboot"}, "ACTION=reboot\noptAction=reboot\n"},
        OutputCase{"action_names_are_case_sensitive",
                   {"--action", "GET_STATUS"},
                   "ACTION=GET_STATUS\noptAction=GET_STATUS\n"},
        OutputCase{"every_echo_line",
                   {"--action", "none", "--ip", "1.2.3.4", "--backupfileout", "out",
                    "--backupfileouttype", "zip", "--backupfilein", "in.zip", "--firmwarefile",
                    "fw.bin", "--backupconfig", "[\"dali1\"]", "--channel", "[1]",
                    "--channelcsvfile", "[\"c.csv\"]", "--channelgroupscsvfile", "[\"g.csv\"]",
                    "--channelinputscsvfile", "[\"i.csv\"]"},
                   "ACTION=none\nIP=1.2.3.4\nBackupFileOutout\nBackupFileOutTypezip\n"
                   "BackupFileInin.zip\nFIRMWAREFILE=fw.bin\nBackupConfig[\"dali1\"]\n"
                   "CHANNEL=[1]\n"
                   "CHANNELCSVFILE=[\"c.csv\"]\noptarg=#[\"c.csv\"]#"
                   "CHANNELGROUPSCSVFILE=[\"g.csv\"]\noptarg=#[\"g.csv\"]#"
                   "CHANNELINPUTSCSVFILE=[\"i.csv\"]\noptarg=#[\"i.csv\"]#"
                   "optAction=none\noptIP=1.2.3.4\noptBackupFileOut=out\n"
                   "optBackupFileOutType=zip\n"},
        OutputCase{"short_a_has_no_argument", {"-a", "get_status"},
                   "ACTION=(null)\nnon-option ARGV-elements: get_status \noptAction=(null)\n"},
        OutputCase{"short_b_is_unhandled", {"-b"}, "?? getopt returned character code 0142 ??\n"},
        OutputCase{"short_d_is_unhandled", {"-d", "x"},
                   "?? getopt returned character code 0144 ??\n"},
        OutputCase{"short_c_is_channel", {"-c", "[2]"}, "CHANNEL=[2]\n"},
        OutputCase{"short_c_without_argument", {"-c"},
                   "?? getopt returned character code 077 ??\n"},
        OutputCase{"digits_in_one_argument", {"-01"}, "option 0\noption 1\n"},
        OutputCase{"digits_in_two_arguments", {"-0", "-1"},
                   "option 0\ndigits occur in two different argv-elements.\noption 1\n"},
        OutputCase{"digits_repeated_in_one_then_another", {"-02", "-2"},
                   "option 0\noption 2\ndigits occur in two different argv-elements.\n"
                   "option 2\n"},
        OutputCase{"file_with_arg", {"--file", "x"}, "option file with arg x\n"},
        OutputCase{"delete_with_arg", {"--delete", "y"}, "option delete with arg y\n"},
        OutputCase{"create_is_channel", {"--create", "[4]"}, "CHANNEL=[4]\n"},
        OutputCase{"verbose", {"--verbose"}, "option verbose\n"},
        OutputCase{"verbose_abbreviation_is_ambiguous", {"--verbo"},
                   "?? getopt returned character code 077 ??\n"},
        OutputCase{"unknown_long_option", {"--nonsense"},
                   "?? getopt returned character code 077 ??\n"},
        OutputCase{"missing_long_argument", {"--ip"},
                   "?? getopt returned character code 077 ??\n"},
        OutputCase{"unique_abbreviation", {"--firm", "f.bin"}, "FIRMWAREFILE=f.bin\n"},
        OutputCase{"non_option_arguments", {"first", "--ip", "h", "second"},
                   "IP=h\nnon-option ARGV-elements: first second \noptIP=h\n"},
        OutputCase{"repeated_text_option", {"--ip", "a", "--ip", "b"}, "IP=a\nIP=b\noptIP=b\n"},
        OutputCase{"csv_path_not_json", {"--channelcsvfile", "C:\\data\\ch1.csv"},
                   "CHANNELCSVFILE=C:\\data\\ch1.csv\noptarg=#C:\\data\\ch1.csv#"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(CliOptions, VerboseSetsTheFlagOnlyWhenGiven) {
  test::ConsoleCapture capture;
  for (auto [args, expected] : std::vector<std::pair<std::vector<std::string>, int>>{
           {{"--verbose"}, 1}, {{}, 0}, {{"--verbo"}, 0}}) {
    Argv a(args);
    CommandOptions options;
    EXPECT_FALSE(cli_scan_options(a.argc(), a.argv(), options).has_value());
    EXPECT_EQ(verbose, expected);
  }
}

struct NumberCase {
  const char* json;
  std::vector<std::uint32_t> list;
};

TEST(CliLists, ChannelNumbers) {
  const NumberCase cases[] = {
      {"[1, \"3\", 2.9]", {1, 3, 2}},
      {"[1, [2], 3]", {1, 2}},
      {"[0, 1]", {0, 1}},
      {"3", {3}},
      {"\"4\"", {4}},
      {"[-1.7]", {0xFFFFFFFFu}},
      {"[1e300]", {0x80000000u}},
      {"[\"x\", true, null, {\"a\": 2}]", {0, 0, 2}},
      {"[1, 2", {1, 2}},
      {"[1, 2,, 3]", {1, 2}},
      {"1,2", {1}},
      {"not json", {}},
      {"", {}},
      {"[]", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(collect_number_list(c.json), c.list) << c.json;
  }
}

struct TextCase {
  const char* json;
  std::vector<std::string> list;
};

TEST(CliLists, Texts) {
  const TextCase cases[] = {
      {"[\"a.csv\", \"b.csv\"]", {"a.csv", "b.csv"}},
      {"\"one\"", {"one"}},
      {"[\"a\", 1, \"b\"]", {"a", "b"}},
      {"[\"a\", [\"b\"], \"c\"]", {"a", "b"}},
      {"[\"tab\\there\", \"\\u00e9\"]", {"tab\there", "\xC3\xA9"}},
      {"[\"a\", oops]", {"a"}},
      {"C:\\dir\\file.csv", {}},
      {"dali1", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(collect_text_list(c.json), c.list) << c.json;
  }
}

TEST(CliLists, RepeatedOptionReplacesOnlyWhenItYieldsElements) {
  test::ConsoleCapture capture;
  Argv a({"--channel", "[1,2,3]", "--channel", "[4]", "--backupconfig", "[\"dali1\",\"cd1\"]",
          "--backupconfig", "oops", "--channelcsvfile", "[]"});
  CommandOptions o;
  ASSERT_FALSE(cli_scan_options(a.argc(), a.argv(), o).has_value());
  ASSERT_TRUE(o.optChannel.has_value());
  EXPECT_EQ(*o.optChannel, (std::vector<std::uint32_t>{4}));
  ASSERT_TRUE(o.optBackupConfig.has_value());
  EXPECT_EQ(*o.optBackupConfig, (std::vector<std::string>{"dali1", "cd1"}));
  EXPECT_FALSE(o.optChannelCsvFile.has_value());
}

TEST(CliOptions, TextFieldsHoldTheirArguments) {
  test::ConsoleCapture capture;
  Argv a({"--backupfilein", "b.zip", "--firmwarefile", "f.torvi", "-a", "--channel", "[\"2\"]"});
  CommandOptions o;
  ASSERT_FALSE(cli_scan_options(a.argc(), a.argv(), o).has_value());
  EXPECT_EQ(o.optBackupFileIn, "b.zip");
  EXPECT_EQ(o.optFirmwareFile, "f.torvi");
  EXPECT_EQ(o.optAction, "(null)");
  EXPECT_EQ(o.optChannel, (std::vector<std::uint32_t>{2}));
}

TEST(CliLists, OutOfMemoryStopsWithItsPlace) {
  EXPECT_DEATH(cli_allocation_failed("src/cli/cli.cpp", 123),
               "^Assertion failed: out of memory, file src/cli/cli.cpp, line 123\n");
}

// The real binary: the closing pause and the exit status.
struct BinaryCase {
  const char* args;
  bool pauses;
};

TEST(CliBinary, PausesOnlyOnNormalRuns) {
  const BinaryCase cases[] = {
      {"", true}, {"--action get_status", true}, {"--help", false}, {"--version", false}};
  for (const auto& c : cases) {
    auto start = std::chrono::steady_clock::now();
    std::string out;
    int status = test::run_command(std::string(TORVI_CLI_PATH) + " " + c.args + " 2>/dev/null", &out);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(status, 0) << c.args;
    EXPECT_EQ(out.rfind("torvi-cli\n", 0), 0u) << c.args;
    if (c.pauses) {
      EXPECT_GE(seconds, 4.0) << c.args;
    } else {
      EXPECT_LT(seconds, 3.0) << c.args;
    }
  }
}

}  // namespace
}  // namespace torvi
