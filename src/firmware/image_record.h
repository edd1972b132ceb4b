#pragma once
// The firmware image as the TFTP upload sends it, with the file it came from.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace torvi {

// Longest workstation path an image record keeps (the field holds one more
// byte for the terminating NUL).
constexpr std::size_t kImagePathMax = 260;

// `path` is filled only by the firmware action; `data` holds the image bytes
// and `size` always equals data.size(), so code that only knows the count
// (the upload, the upgrade request) can rely on it.
struct ImageRecord {
  char path[kImagePathMax + 1] = {};
  std::uint64_t size = 0;
  std::vector<std::uint8_t> data;
};

// Copies `path` into the record, cut to kImagePathMax characters; an absent
// path leaves the field empty.
void image_record_set_path(ImageRecord& record, const char* path);

}  // namespace torvi
