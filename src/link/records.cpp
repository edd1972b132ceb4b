#include "link/records.h"

#include <cstring>

namespace torvi {

void image_record_set_path(ImageRecord& record, const char* path) {
  std::memset(record.path, 0, sizeof record.path);
  if (!path) return;
  std::size_t length = strnlen(path, kImagePathMax);
  std::memcpy(record.path, path, length);
}

}  // namespace torvi
