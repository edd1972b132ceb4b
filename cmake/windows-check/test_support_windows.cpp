// The test helpers of tests/support that the Windows build's tests use, with
// what needs POSIX there (mkdtemp, popen, /dev/full) done the Windows way or
// reported as unavailable.

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/console.h"
#include "posix_compat.h"
#include "tar/tar_stream.h"
#include "test_support.h"

namespace torvi::test {
namespace {
std::string slurp(FILE* f) {
  std::fflush(f);
  std::string text(static_cast<size_t>(std::max(std::ftell(f), 0L)), '\0');
  std::rewind(f);
  text.resize(std::fread(text.data(), 1, text.size(), f));
  std::fseek(f, 0, SEEK_END);
  return text;
}
}  // namespace

// tmpfile() wants to write to the drive's root; use the temporary folder.
FILE* scratch_file() {
  char dir[MAX_PATH + 1];
  char path[MAX_PATH + 1];
  if (!GetTempPathA(sizeof dir, dir) || !GetTempFileNameA(dir, "tvi", 0, path)) return nullptr;
  return std::fopen(path, "w+bD");  // D: removed when closed
}

ConsoleCapture::ConsoleCapture()
    : out_(scratch_file()),
      err_(scratch_file()),
      saved_out_(console_out_stream()),
      saved_err_(console_err_stream()) {
  if (!out_ || !err_) throw std::runtime_error("cannot make a scratch file");
  console_set_streams(out_, err_);
}

ConsoleCapture::~ConsoleCapture() {
  console_set_streams(saved_out_ == stdout ? nullptr : saved_out_,
                      saved_err_ == stderr ? nullptr : saved_err_);
  std::fclose(out_);
  std::fclose(err_);
}

std::string ConsoleCapture::out() const {
  return slurp(out_);
}
std::string ConsoleCapture::err() const {
  return slurp(err_);
}

TempDir::TempDir() {
  const auto base = std::filesystem::temp_directory_path();
  for (unsigned attempt = 0; path_.empty(); ++attempt) {
    const auto dir = base / ("torvi-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(attempt));
    if (std::filesystem::create_directory(dir)) path_ = dir.string();
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

void write_file(const std::string& path, const std::string& text) {
  write_file(path, bytes_of(text));
}

bool file_exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

std::vector<std::uint8_t> bytes_of(const std::string& text) {
  return {text.begin(), text.end()};
}

std::vector<std::uint8_t> noise(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> data(size);
  for (auto& byte : data) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(seed >> 24);
  }
  return data;
}

std::vector<std::uint8_t> make_tar(const std::vector<TarMember>& members) {
  tar_stream writer;
  tar_open_memory_writer(writer);
  for (const auto& [name, data] : members) {
    if (tar_write_file_header(writer, name, static_cast<std::uint32_t>(data.size())) != TAR_OK ||
        tar_write_data(writer, data) != TAR_OK) {
      throw std::runtime_error("cannot write tar member " + name);
    }
  }
  tar_finalize(writer);
  return tar_memory_take(writer);
}

// The peers the POSIX tests run (GNU tar) are not on a Windows machine:
// tests that need them skip.
int run_command(const std::string&, std::string*) {
  return -1;
}
bool have_program(const std::string&) {
  return false;
}

}  // namespace torvi::test

FILE* fmemopen(void* buffer, std::size_t size, const char* mode) {
  FILE* f = mode[0] == 'r' ? torvi::test::scratch_file() : nullptr;
  if (f && (std::fwrite(buffer, 1, size, f) != size || std::fseek(f, 0, SEEK_SET) != 0)) {
    std::fclose(f);
    return nullptr;
  }
  return f;
}
