#include "platform/file.h"

#include <new>

namespace torvi {

bool platform_read_file(const std::string& path, std::vector<std::uint8_t>& data,
                        std::size_t limit) {
  data.clear();
  unique_file file(std::fopen(path.c_str(), "rb"));
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

}  // namespace torvi
