// What torvi-inspect reads from a file it is given: a channel file shown
// and compared with another through the layout tables, and a configuration
// archive taken apart. The first byte picks the kind and a length (free, or
// one a layout has, so the tables reach every record); the rest is split
// into two files, A shown and both compared, and also read as a tar.
#include <algorithm>
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

std::vector<std::uint8_t> sized(std::span<const std::uint8_t> bytes, std::size_t length) {
  std::vector<std::uint8_t> file(bytes.begin(), bytes.end());
  if (length) file.resize(length, 0);
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvi;
  using namespace torvi::inspect;
  fuzz_quiet_console();
  if (size < 1) return 0;
  const channel_file_kind kind = data[0] & 1 ? channel_file_kind::device : channel_file_kind::gear;
  const std::size_t length = kLengths[(data[0] >> 1) % std::size(kLengths)];
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  const std::size_t half = rest.size() / 2;
  const std::vector<std::uint8_t> a = sized(rest.first(half), length);
  const std::vector<std::uint8_t> b = sized(rest.subspan(half), length);

  const node shown = channel_file_node(channel_view_of(kind, a));
  (void)to_text(shown);
  (void)to_json(shown);
  (void)to_text(diff_channel_files(channel_view_of(kind, a), channel_view_of(kind, b)));

  source_file tar{"fuzz.tar", source_kind::config_tar, {rest.begin(), rest.end()}};
  source_contents contents;
  std::string error;
  read_contents(tar, contents, error);
  return 0;
}
