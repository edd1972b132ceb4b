#include "sim/sim_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "sim/config_files.h"

namespace korvan {
namespace {

std::string errno_text(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

bool read_whole_file(const std::string& path, std::vector<uint8_t>& data, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = errno_text(path);
    return false;
  }
  data.clear();
  uint8_t chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error) *error = errno_text(path);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    if (data.size() + static_cast<size_t>(n) > kMaxConfigFile) {
      if (error) *error = path + ": larger than any configuration";
      ::close(fd);
      return false;
    }
    data.insert(data.end(), chunk, chunk + n);
  }
  ::close(fd);
  return true;
}

int64_t file_mtime(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : 0;
}

}  // namespace

bool write_file_atomic(const std::string& path, const std::vector<uint8_t>& data,
                       std::string* error, bool durable) {
  std::string temp = path + ".tmp-XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    if (error) *error = errno_text(temp);
    return false;
  }
  auto fail = [&](const std::string& what) {
    if (error) *error = errno_text(what);
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    return false;
  };
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(temp);
    done += static_cast<size_t>(n);
  }
  if (::fchmod(fd, 0644) != 0 || (durable && ::fsync(fd) != 0)) return fail(temp);
  if (::close(fd) != 0) {
    fd = -1;
    return fail(temp);
  }
  fd = -1;
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail(path);
  if (!durable) return true;
  // Make the rename itself durable.
  std::string folder = std::filesystem::path(path).parent_path().string();
  int dirfd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirfd >= 0) {
    ::fsync(dirfd);
    ::close(dirfd);
  }
  return true;
}

std::string ControllerState::path_of(const std::string& name) const {
  return dir_ + "/" + name + ".bin";
}

bool ControllerState::open(const std::string& dir, const std::string& firmware, bool durable,
                           std::string* error) {
  std::lock_guard lock(mutex_);
  durable_ = durable;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir)) {
    if (error) *error = dir + ": not a usable folder";
    return false;
  }
  dir_ = dir;
  files_.clear();
  for (const ConfigName& config : config_names()) {
    const std::string path = path_of(config.name);
    Stored stored;
    if (std::filesystem::exists(path)) {
      if (!read_whole_file(path, stored.data, error)) return false;
    } else {
      stored.data = make_config_file(config, firmware);
      if (!write_file_atomic(path, stored.data, error, durable_)) return false;
    }
    stored.mtime = file_mtime(path);
    files_[config.name] = std::move(stored);
  }

  // The boot counter is the one thing that changes on every start.
  const std::string boot_path = dir_ + "/boot_count";
  std::vector<uint8_t> text;
  unsigned previous = 0;
  if (std::filesystem::exists(boot_path) && read_whole_file(boot_path, text, nullptr)) {
    std::string digits(text.begin(), text.end());
    previous = static_cast<unsigned>(std::strtoul(digits.c_str(), nullptr, 10));
  }
  boot_count_ = previous + 1;
  std::string now = std::to_string(boot_count_) + "\n";
  return write_file_atomic(boot_path, std::vector<uint8_t>(now.begin(), now.end()), error,
                           durable_);
}

std::vector<uint8_t> ControllerState::file(const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto it = files_.find(name);
  return it == files_.end() ? std::vector<uint8_t>() : it->second.data;
}

int64_t ControllerState::mtime(const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto it = files_.find(name);
  return it == files_.end() ? 0 : it->second.mtime;
}

bool ControllerState::store(const std::string& name, const std::vector<uint8_t>& data,
                            std::string* error) {
  std::lock_guard lock(mutex_);
  auto it = files_.find(name);
  if (it == files_.end()) {
    if (error) *error = "unknown configuration " + name;
    return false;
  }
  const std::string path = path_of(name);
  if (!write_file_atomic(path, data, error, durable_)) return false;
  it->second.data = data;
  it->second.mtime = file_mtime(path);
  return true;
}

unsigned ControllerState::boot_count() const {
  std::lock_guard lock(mutex_);
  return boot_count_;
}

}  // namespace korvan
