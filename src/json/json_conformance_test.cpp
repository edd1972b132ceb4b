// Runs json-tokens --strict (the corpus rejects anything after the value)
// over the public conformance corpus: documents that must be accepted (y_),
// rejected (n_), or may go either way (i_) but never crash or hang.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace torvi {
namespace {

// Single-quotes a text for the shell.
std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

TEST(JsonConformance, Corpus) {
  const std::filesystem::path dir = test::shared_dir() + "/testdata/json-conformance";
  if (test::shared_dir().empty() || !std::filesystem::is_directory(dir)) {
    GTEST_SKIP() << "conformance corpus not found: set TORVI_SHARED to the folder holding "
                    "testdata/json-conformance";
  }
  if (!test::have_program("timeout")) GTEST_SKIP() << "the timeout program is not installed";
  // Exit 0 accepts, 1 rejects, a hang ends as 124 or 137 (the limit leaves
  // room for the sanitizer build); sanitizer reports get statuses of their own.
  const std::string command =
      "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}exitcode=86\" "
      "UBSAN_OPTIONS=\"${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}exitcode=87\" "
      "timeout -k 2 150 " +
      quoted(JSON_TOKENS_PATH) + " --strict ";
  const struct {
    const char* prefix;
    bool accept_ok, reject_ok;
  } groups[] = {{"y_", true, false}, {"n_", false, true}, {"i_", true, true}};
  for (const auto& g : groups) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with(g.prefix) && name.ends_with(".json")) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    EXPECT_FALSE(files.empty()) << "no " << g.prefix << " files in " << dir;
    for (const auto& file : files) {
      const int status = test::run_command(command + quoted(file) + " >/dev/null 2>&1");
      EXPECT_TRUE((status == 0 && g.accept_ok) || (status == 1 && g.reject_ok))
          << file.filename().string() << ": exit status " << status;
    }
  }
}

}  // namespace
}  // namespace torvi
