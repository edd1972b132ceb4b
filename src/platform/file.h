#pragma once
// Files on the workstation: one owner for an open C stream, and reading a
// whole file into memory with a bound.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace torvi {

struct FileCloser {
  void operator()(std::FILE* file) const {
    if (file) std::fclose(file);
  }
};
using unique_file = std::unique_ptr<std::FILE, FileCloser>;

// Reads the whole file at `path` into `data` (replaced). False, leaving
// `data` empty, when it cannot be opened or read, holds more than `limit`
// bytes, or does not fit in memory.
bool platform_read_file(const std::string& path, std::vector<std::uint8_t>& data,
                        std::size_t limit);

}  // namespace torvi
