#pragma once
// The byte blocks that travel between the tool and the controller.

#include <cstdint>
#include <vector>

#include "firmware/image_record.h"

namespace torvi {

// Bytes received by a fetch; empty until a transfer fills it. The caller
// owns them afterwards.
struct ReceiveBuffer {
  std::vector<std::uint8_t> data;
  std::uint64_t size() const { return data.size(); }
};

}  // namespace torvi
