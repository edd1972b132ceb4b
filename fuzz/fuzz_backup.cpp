// Arbitrary bytes received as a configuration archive: listed, searched for
// "status.txt" and its identity keys read.
#include <cstddef>
#include <cstdint>

#include "backup/backup.h"
#include "fuzz_quiet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvi;
  fuzz_quiet_console();
  backup_file file;
  file.received.data.assign(data, data + size);
  backup_check_file(&file);
  return 0;
}
