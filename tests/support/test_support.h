#pragma once
// Helpers shared by the tests: console capture, scratch folders, files.

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"

namespace torvi::test {

// Redirects console_out and console_err to temporary files for its lifetime.
class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;
  std::string out() const;
  std::string err() const;

 private:
  unique_file out_;
  unique_file err_;
  FILE* saved_out_;
  FILE* saved_err_;
};

// Sends console_out and console_err to the null device for its lifetime,
// for benchmarks that time the tool without its console lines.
class QuietConsole {
 public:
  QuietConsole();
  ~QuietConsole();
  QuietConsole(const QuietConsole&) = delete;
  QuietConsole& operator=(const QuietConsole&) = delete;

 private:
  unique_file sink_;
};

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<std::uint8_t> read_file(const std::string& path);
// A channel CSV file whose second row has a 128 MiB cell: more than a
// process under `ulimit -v 100000` can hold, so the tokenizer fails in it.
void write_huge_cell_csv(const std::string& path);
void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);

std::vector<std::uint8_t> bytes_of(const std::string& text);

// Bytes that differ with the seed and from their neighbours, so a byte taken
// from the wrong offset shows.
std::vector<std::uint8_t> noise(std::size_t size, std::uint32_t seed);

// An old-style tar archive, written with the tool's own tar writer, holding
// the members in order and the end marker.
using TarMember = std::pair<std::string, std::vector<std::uint8_t>>;
std::vector<std::uint8_t> make_tar(const std::vector<TarMember>& members);

// A reallocation function that refuses blocks of more than 256 bytes, for
// reaching a tokenizer's out-of-memory path.
void* refuse_large_blocks(void* block, std::size_t size);

// Folder of the shared test data (the conformance corpus); empty when absent.
std::string shared_dir();

// Runs a shell command, returns its exit status and collects its standard output.
int run_command(const std::string& command, std::string* output = nullptr);

// "127.0.0.1:PORT" where nothing listens (a port that was free a moment ago).
std::string dead_address();

// True when `program` is on the PATH.
bool have_program(const std::string& program);

}  // namespace torvi::test
