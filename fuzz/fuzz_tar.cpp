// Walks every member of an arbitrary byte block as a received archive would be
// walked: headers, whole-member reads, steps to the next member, a search.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tar/tar_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvi;
  tar_stream stream;
  if (tar_open_memory_reader(stream, data, size) != TAR_OK) return 0;
  // Each step moves forward by at least one block, so this bound is never
  // what ends a well-behaved walk; it only guards against a regression.
  for (int members = 0; members < 4096; ++members) {
    tar_header header;
    if (tar_read_header(stream, header) != TAR_OK) break;
    if (tar_check_member(stream, header) == TAR_OK) {
      std::vector<std::uint8_t> bytes(header.size);
      if (tar_read_data(stream, bytes) != TAR_OK) break;
    }
    if (tar_next(stream) != TAR_OK) break;
  }
  tar_header found;
  tar_find(stream, "status.txt", &found);
  std::vector<std::uint8_t> member;
  tar_read_member(stream, "status.txt", member);
  tar_close(stream);
  return 0;
}
