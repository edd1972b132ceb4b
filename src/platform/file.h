#pragma once
// Files on the workstation: the one owner of an open C stream, and whole-file
// reading and writing with the failures a user must hear about.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace torvi {

struct FileCloser {
  void operator()(std::FILE* file) const {
    if (file) std::fclose(file);
  }
};
using unique_file = std::unique_ptr<std::FILE, FileCloser>;

// Opens `path` with a C library mode ("rb", "wb", ...); empty when it cannot.
inline unique_file file_open(const std::string& path, const char* mode) {
  return unique_file(std::fopen(path.c_str(), mode));
}

// Closes the file now. False when there was none or when bytes still
// buffered could not be written: a written file is only complete once this
// says so.
inline bool file_close(unique_file& file) {
  return file && std::fclose(file.release()) == 0;
}

// Reads the whole file at `path` into `data` (replaced). False, leaving
// `data` empty, when it cannot be opened or read, holds more than `limit`
// bytes, or does not fit in memory.
bool platform_read_file(const std::string& path, std::vector<std::uint8_t>& data,
                        std::size_t limit);

// Creates or replaces the file at `path` with exactly `bytes`. 0 on success,
// otherwise the system's error number (errno) of the step that failed. A
// plain file that could not be written completely is removed, so nothing
// half-written is left under the name.
int platform_write_file(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace torvi
