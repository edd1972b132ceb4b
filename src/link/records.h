#pragma once
// The byte blocks that travel between the tool and the controller.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace torvi {

// Bytes received by a fetch; empty until a transfer fills it. The caller
// owns them afterwards.
struct ReceiveBuffer {
  std::vector<std::uint8_t> data;
  std::uint64_t size() const { return data.size(); }
};

// Longest workstation path an image record keeps (the field holds one more
// byte for the terminating NUL).
constexpr std::size_t kImagePathMax = 260;

// What the TFTP upload sends, with the file it came from. `path` is filled
// only by the firmware action; `data` holds the bytes and `size` always
// equals data.size(), so code that only knows the count (the upload, the
// upgrade request) can rely on it.
struct ImageRecord {
  char path[kImagePathMax + 1] = {};
  std::uint64_t size = 0;
  std::vector<std::uint8_t> data;
};

// Copies `path` into the record, cut to kImagePathMax characters; an absent
// path leaves the field empty.
void image_record_set_path(ImageRecord& record, const char* path);

}  // namespace torvi
