// Stored configuration members as a backup may hold them, converted for a
// controller on each firmware generation, and fetched archives read for
// their gear file. The first bytes choose the kind, the firmware, the size
// and the layout version, so the conversions see files of their exact
// lengths; the rest is the file. Every kind (and one past the last) meets
// every target layout: gear layouts 1 to 3 and device layouts 1 to 3 are each
// selected by one of the firmware versions, and a missing version too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <span>
#include <vector>

#include "channel/channel_file.h"
#include "channel/convert.h"
#include "fuzz_quiet.h"

namespace {

constexpr const char* kFirmware[] = {"1.0.0", "1.3.0", "1.3.1", "1.5.0", "2.2.4", "", nullptr};
constexpr std::size_t kLengths[] = {0, 11168, 10912, 7072, 9436, 9564};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvi;
  fuzz_quiet_console();
  if (size < 4) return 0;
  const std::uint32_t kind = data[0] % 19;
  const char* firmware = kFirmware[data[1] % std::size(kFirmware)];
  const std::size_t length = kLengths[data[2] % std::size(kLengths)];
  // A short input is repeated up to the chosen length, so every entry of the
  // file holds fuzzed bytes, not only the first ones.
  const std::span<const std::uint8_t> body(data + 4, size - 4);
  std::vector<std::uint8_t> file(length != 0 ? length : body.size());
  for (std::size_t at = 0; at < file.size() && !body.empty(); at += body.size()) {
    std::memcpy(file.data() + at, body.data(), std::min(body.size(), file.size() - at));
  }
  if (file.size() >= kHeaderSize) store_u32(file.data() + kHeaderVersion, data[3] % 5);

  std::vector<std::uint8_t> out;
  if (convert_config(kind, firmware, file, out) == CONVERT_OK && out.empty()) __builtin_trap();

  channel_record record;
  read_gear_file(std::span<const std::uint8_t>(data, size), 1 + data[0] % 4, record);
  return 0;
}
