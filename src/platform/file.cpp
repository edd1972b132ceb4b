#include "platform/file.h"

#include <cerrno>
#include <filesystem>
#include <new>

namespace torvi {

bool platform_read_file(const std::string& path, std::vector<std::uint8_t>& data,
                        std::size_t limit) {
  data.clear();
  unique_file file = file_open(path, "rb");
  if (!file) return false;
  std::uint8_t chunk[65536];
  try {
    for (;;) {
      const std::size_t n = std::fread(chunk, 1, sizeof chunk, file.get());
      if (n == 0) break;
      if (n > limit - data.size()) {
        data.clear();
        return false;
      }
      data.insert(data.end(), chunk, chunk + n);
    }
  } catch (const std::bad_alloc&) {
    data = {};
    return false;
  }
  if (std::ferror(file.get())) {
    data.clear();
    return false;
  }
  return true;
}

int platform_write_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  errno = 0;
  unique_file file = file_open(path, "wb");
  if (!file) return errno ? errno : EIO;
  // A short write and a failed flush on close lose bytes alike.
  int error = 0;
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
    error = errno ? errno : EIO;
  }
  errno = 0;
  if (!file_close(file) && error == 0) error = errno ? errno : EIO;
  // Only a plain file of our own making is removed, never what a link or a
  // device node stands for.
  std::error_code ec;
  if (error != 0 &&
      std::filesystem::symlink_status(path, ec).type() == std::filesystem::file_type::regular) {
    std::filesystem::remove(path, ec);
  }
  return error;
}

}  // namespace torvi
