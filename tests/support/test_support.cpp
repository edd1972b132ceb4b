#include "test_support.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/console.h"
#include "platform/file.h"
#include "tar/tar_stream.h"

namespace torvi::test {
namespace {
std::string slurp(FILE* f) {
  std::fflush(f);
  long end = std::ftell(f);
  std::string text(static_cast<size_t>(end > 0 ? end : 0), '\0');
  std::rewind(f);
  size_t n = std::fread(text.data(), 1, text.size(), f);
  text.resize(n);
  std::fseek(f, 0, SEEK_END);
  return text;
}
}  // namespace

ConsoleCapture::ConsoleCapture()
    : out_(std::tmpfile()),
      err_(std::tmpfile()),
      saved_out_(console_out_stream()),
      saved_err_(console_err_stream()) {
  if (!out_ || !err_) throw std::runtime_error("tmpfile failed");
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
  std::string pattern = (std::filesystem::temp_directory_path() / "torvi-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  unique_file f = file_open(path, "rb");
  if (!f) return bytes;
  std::uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0)
    bytes.insert(bytes.end(), chunk, chunk + n);
  return bytes;
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  if (platform_write_file(path, bytes) != 0) throw std::runtime_error("cannot write " + path);
}

void write_file(const std::string& path, const std::string& text) {
  write_file(path, std::vector<std::uint8_t>(text.begin(), text.end()));
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

void* refuse_large_blocks(void* block, std::size_t size) {
  return size > 256 ? nullptr : std::realloc(block, size);
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string shared_dir() {
  const char* dir = std::getenv("TORVI_SHARED");
  if (dir && *dir && file_exists(dir)) return dir;
  return {};
}

int run_command(const std::string& command, std::string* output) {
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return -1;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, p)) > 0) {
    if (output) output->append(chunk, n);
  }
  int status = ::pclose(p);
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool have_program(const std::string& program) {
  return run_command("command -v " + program + " >/dev/null 2>&1") == 0;
}

std::string dead_address() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
}

}  // namespace torvi::test
