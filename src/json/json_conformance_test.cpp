// Runs json-tokens --strict over the public conformance corpus: documents
// that must be accepted (y_), rejected (n_), or may go either way (i_) but
// must never crash or hang. Strict mode is the right reading, because the
// corpus rejects documents with anything after the value.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace torvi {
namespace {

constexpr int TIMEOUT_SECONDS = 20;

std::string corpus_dir() {
  std::string shared = test::shared_dir();
  if (shared.empty()) return {};
  std::string dir = shared + "/testdata/json-conformance";
  return std::filesystem::is_directory(dir) ? dir : std::string();
}

std::vector<std::string> corpus_files(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name.rfind(prefix, 0) == 0 && name.size() > 5 &&
        name.compare(name.size() - 5, 5, ".json") == 0) {
      files.push_back(entry.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Single-quotes a path for the shell.
std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// Exit status of json-tokens --strict on the file; a hang ends as 124 or 137.
// Sanitizers report with exit status 1 by default, which would pass for a
// rejected document, so their reports get statuses of their own.
int tokens_status(const std::string& file) {
  std::string command =
      "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}exitcode=86\" "
      "UBSAN_OPTIONS=\"${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}exitcode=87\" "
      "timeout -k 2 " +
      std::to_string(TIMEOUT_SECONDS) + " " + quoted(JSON_TOKENS_PATH) + " --strict " +
      quoted(file) + " >/dev/null 2>&1";
  return test::run_command(command);
}

TEST(JsonConformance, Corpus) {
  std::string dir = corpus_dir();
  if (dir.empty()) {
    GTEST_SKIP() << "conformance corpus not found: set TORVI_SHARED to the folder holding "
                    "testdata/json-conformance";
  }
  if (!test::have_program("timeout")) GTEST_SKIP() << "the timeout program is not installed";

  struct Group {
    const char* prefix;
    bool accept_ok;  // exit 0 allowed
    bool reject_ok;  // exit 1 allowed
  };
  const Group groups[] = {{"y_", true, false}, {"n_", false, true}, {"i_", true, true}};
  size_t total = 0;
  for (const auto& g : groups) {
    std::vector<std::string> files = corpus_files(dir, g.prefix);
    EXPECT_FALSE(files.empty()) << "no " << g.prefix << " files in " << dir;
    for (const auto& file : files) {
      int status = tokens_status(file);
      bool ok = (status == 0 && g.accept_ok) || (status == 1 && g.reject_ok);
      EXPECT_TRUE(ok) << std::filesystem::path(file).filename().string() << ": exit status "
                      << status;
      ++total;
    }
  }
  RecordProperty("files", static_cast<int>(total));
}

}  // namespace
}  // namespace torvi
