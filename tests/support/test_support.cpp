#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

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

// A scratch stream removed when closed. Windows' tmpfile() wants to write
// to the drive's root, so there it is made in the temporary folder.
FILE* scratch_file() {
#ifdef _WIN32
  char dir[MAX_PATH + 1];
  char path[MAX_PATH + 1];
  if (!GetTempPathA(sizeof dir, dir) || !GetTempFileNameA(dir, "tvi", 0, path)) return nullptr;
  return std::fopen(path, "w+bD");  // D: removed when closed
#else
  return std::tmpfile();
#endif
}
}  // namespace

ConsoleCapture::ConsoleCapture()
    : out_(scratch_file()),
      err_(scratch_file()),
      saved_out_(console_out_stream()),
      saved_err_(console_err_stream()) {
  if (!out_ || !err_) throw std::runtime_error("cannot make a scratch file");
  console_set_streams(out_.get(), err_.get());
}

ConsoleCapture::~ConsoleCapture() {
  console_set_streams(saved_out_ == stdout ? nullptr : saved_out_,
                      saved_err_ == stderr ? nullptr : saved_err_);
}

std::string ConsoleCapture::out() const {
  return slurp(out_.get());
}
std::string ConsoleCapture::err() const {
  return slurp(err_.get());
}

#ifdef _WIN32
QuietConsole::QuietConsole()
    : sink_(file_open("NUL", "w")){
#else
QuietConsole::QuietConsole() : sink_(file_open("/dev/null", "w")) {
#endif
          console_set_streams(sink_.get(), sink_.get());
}  // namespace torvi::test

QuietConsole::~QuietConsole() {
  console_set_streams(nullptr, nullptr);
}

TempDir::TempDir() {
#ifdef _WIN32
  const auto base = std::filesystem::temp_directory_path();
  for (unsigned attempt = 0; path_.empty(); ++attempt) {
    const auto dir = base / ("torvi-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(attempt));
    if (std::filesystem::create_directory(dir)) path_ = dir.string();
  }
#else
  std::string pattern = (std::filesystem::temp_directory_path() / "torvi-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
#endif
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

void write_huge_cell_csv(const std::string& path) {
  unique_file f = file_open(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot write " + path);
  std::fputs("#dali-channel-csv-version: 1\n1,3,7,", f.get());
  const std::string block(1 << 20, 'x');
  for (int i = 0; i < 128; ++i) std::fwrite(block.data(), 1, block.size(), f.get());
  std::fputs(",[],1,1,1,1,1,1,[]\n", f.get());
  if (!file_close(f)) throw std::runtime_error("cannot write " + path);
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
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

std::string shared_dir() {
  const char* dir = std::getenv("TORVI_SHARED");
  if (dir && *dir && file_exists(dir)) return dir;
  return {};
}

#ifdef _WIN32
// The peers the POSIX tests run (GNU tar, Python) are not on a Windows
// machine: tests that need them skip.
int run_command(const std::string&, std::string*) {
  return -1;
}
bool have_program(const std::string&) {
  return false;
}
#else
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
#endif

}  // namespace torvi::test

#ifdef _WIN32
FILE* fmemopen(void* buffer, std::size_t size, const char* mode) {
  FILE* f = mode[0] == 'r' ? torvi::test::scratch_file() : nullptr;
  if (f && (std::fwrite(buffer, 1, size, f) != size || std::fseek(f, 0, SEEK_SET) != 0)) {
    std::fclose(f);
    return nullptr;
  }
  return f;
}
#endif
