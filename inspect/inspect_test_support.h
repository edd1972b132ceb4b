#pragma once
// Runs torvi-inspect in the test's own process and keeps what it printed.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "action/actions.h"
#include "inspect/inspect.h"
#include "test_support.h"

namespace torvi::inspect::test {

struct inspect_run {
  int status;
  std::string out;
  std::string err;
};

inline inspect_run run_inspect(std::vector<std::string> args) {
  args.insert(args.begin(), "torvi-inspect");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  torvi::test::ConsoleCapture capture;
  const int status = inspect_main(static_cast<int>(args.size()), argv.data());
  return {status, capture.out(), capture.err()};
}

// A ZIP backup of the whole controller at `ip`, as get_backup writes it into `dir`.
inline std::string backup_into(const char* ip, const std::string& dir) {
  std::filesystem::create_directories(dir);
  torvi::test::QuietConsole quiet;
  EXPECT_EQ(get_backup(ip, dir.c_str(), "zip", nullptr), 0);
  for (const auto& e : std::filesystem::directory_iterator(dir)) return e.path().string();
  ADD_FAILURE() << "no backup in " << dir;
  return {};
}

}  // namespace torvi::inspect::test
