#pragma once
// Runs torvi-inspect in the test's own process and keeps what it printed.

#include <string>
#include <vector>

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

}  // namespace torvi::inspect::test
