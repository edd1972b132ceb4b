// Arbitrary file contents through the three CSV imports, each row applied
// to a channel record of every gear layout. The first byte chooses the
// import; the rest follows a version line, so the rows are read rather
// than skipped.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz_quiet.h"
#include "import/imports.h"

namespace {

constexpr const char* kFirmware[] = {"1.3.0", "1.3.1", "2.2.4"};

struct Import {
  const char* version_line;
  int (*run)(const char*, const char*, torvi::channel_record&, const torvi::csv_read_options&);
};
const Import kImports[] = {
    {"#dali-channel-csv-version: 1\n", torvi::import_channel_csv},
    {"#dali-channel-groups-csv-version: 1\n", torvi::import_groups_csv},
    {"#dali-channel-inputs-csv-version: 1\n", torvi::import_inputs_csv},
};

// One scratch file for the whole run, rewritten for every input and
// removed at the end.
char g_scratch[] = "/tmp/fuzz-import-XXXXXX";
const char* scratch() {
  static const bool made = [] {
    const int fd = mkstemp(g_scratch);
    if (fd < 0) std::abort();
    close(fd);
    std::atexit([] { unlink(g_scratch); });
    return true;
  }();
  (void)made;
  return g_scratch;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvi;
  fuzz_quiet_console();
  if (size < 1) return 0;
  const Import& import = kImports[data[0] % 3];
  FILE* file = std::fopen(scratch(), "wb");
  if (!file) return 0;
  std::fputs(import.version_line, file);
  std::fwrite(data + 1, 1, size - 1, file);
  std::fclose(file);
  for (const char* firmware : kFirmware) {
    channel_record record;
    import.run(firmware, scratch(), record, {});
  }
  return 0;
}
