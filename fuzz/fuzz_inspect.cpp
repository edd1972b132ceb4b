// What torvi-inspect reads from a file it is given: a channel file shown
// through the layout tables, two channel files compared, or a configuration
// archive taken apart. Each input does one of these, as a command does.
//
// The first byte picks the kind (bit 0), a length (bits 1 to 3: free, or one
// a layout has, so the tables reach every record) and the work (bits 4 and
// 5: show as text, show as JSON, compare, read as a tar). The second byte
// counts the patches at the input's end (its low five bits: up to 31), three
// bytes each (a 16-bit offset and a value), which make file B out of file A:
// the bytes between are A.
// Two files that differ in a few places are what a comparison meets in use,
// and a report of every field of two unrelated files says no more than one
// of a few.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "channel/channel_view.h"
#include "fuzz_quiet.h"
#include "inspect/channel_diff.h"
#include "inspect/channel_report.h"
#include "inspect/sources.h"

namespace {

constexpr std::size_t kLengths[] = {0, 11168, 10912, 7072, 9436, 9564};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvi;
  using namespace torvi::inspect;
  fuzz_quiet_console();
  if (size < 2) return 0;
  const channel_file_kind kind = data[0] & 1 ? channel_file_kind::device : channel_file_kind::gear;
  const std::size_t length = kLengths[(data[0] >> 1 & 7) % std::size(kLengths)];
  const int work = data[0] >> 4 & 3;
  std::span<const std::uint8_t> rest(data + 2, size - 2);
  const std::size_t patches = std::min<std::size_t>(data[1] & 31, rest.size() / 3);
  const std::span<const std::uint8_t> patch_bytes = rest.last(3 * patches);
  rest = rest.first(rest.size() - 3 * patches);

  std::vector<std::uint8_t> a(rest.begin(), rest.end());
  if (length) a.resize(length, 0);
  switch (work) {
    case 0:
      (void)to_text(channel_file_node(channel_view_of(kind, a)));
      break;
    case 1:
      (void)to_json(channel_file_node(channel_view_of(kind, a)));
      break;
    case 2: {
      std::vector<std::uint8_t> b = a;
      for (std::size_t p = 0; p < patches && !b.empty(); ++p) {
        const std::uint8_t* patch = patch_bytes.data() + 3 * p;
        b[(patch[0] | patch[1] << 8) % b.size()] = patch[2];
      }
      (void)to_text(diff_channel_files(channel_view_of(kind, a), channel_view_of(kind, b)));
      break;
    }
    default: {
      source_file tar{"fuzz.tar", source_kind::config_tar, {rest.begin(), rest.end()}};
      backup_contents contents;
      std::string error;
      read_contents(tar, contents, error);
      break;
    }
  }
  return 0;
}
