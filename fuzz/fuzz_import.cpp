// Arbitrary file contents through the three CSV imports. The first byte
// chooses the import and the controller's firmware (and so the gear layout
// the rows are written in); the rest follows a version line, so the rows
// are read rather than skipped. The imports read a named file: it is one
// file in memory for the whole run, rewritten for every input.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "fuzz_quiet.h"
#include "import/imports.h"

namespace {

constexpr const char* kFirmware[] = {"1.0.0", "1.3.1", "1.5.0", "2.2.4", "", nullptr};

struct Import {
  const char* version_line;
  int (*run)(const char*, const char*, torvi::channel_record&, const torvi::csv_read_options&);
};
const Import kImports[] = {
    {"#dali-channel-csv-version: 1\n", torvi::import_channel_csv},
    {"#dali-channel-groups-csv-version: 1\n", torvi::import_groups_csv},
    {"#dali-channel-inputs-csv-version: 1\n", torvi::import_inputs_csv},
};

struct MemoryFile {
  int fd;
  char path[64];
};

const MemoryFile& memory_file() {
  static const MemoryFile file = [] {
    MemoryFile made{memfd_create("fuzz-import", 0), {}};
    if (made.fd < 0) std::abort();
    std::snprintf(made.path, sizeof made.path, "/proc/self/fd/%d", made.fd);
    return made;
  }();
  return file;
}

bool write_all(int fd, const void* bytes, std::size_t size, off_t at) {
  return pwrite(fd, bytes, size, at) == static_cast<ssize_t>(size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvi;
  fuzz_quiet_console();
  if (size < 1) return 0;
  const Import& import = kImports[data[0] % std::size(kImports)];
  const char* firmware = kFirmware[data[0] / std::size(kImports) % std::size(kFirmware)];
  const MemoryFile& file = memory_file();
  const std::size_t line = std::strlen(import.version_line);
  if (ftruncate(file.fd, 0) != 0 || !write_all(file.fd, import.version_line, line, 0) ||
      !write_all(file.fd, data + 1, size - 1, static_cast<off_t>(line))) {
    std::abort();
  }
  channel_record record;
  import.run(firmware, file.path, record, {});
  return 0;
}
