// A ZIP backup restored as put_backup restores it: each entry looked up,
// extracted, read as a configuration archive, converted for the controller's
// firmware and wrapped for the push. The first byte chooses the firmware,
// the second which pushes fail (bit n for the n-th push, by 8); the rest is
// the archive, opened from memory.
#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>

#include "action/put_backup.h"
#include "backup/backup.h"
#include "fuzz_quiet.h"
#include "tar/tar_stream.h"

namespace {

constexpr const char* kFirmware[] = {"1.0.0", "1.3.0", "1.3.1", "1.5.0", "2.2.4", "", nullptr};

bool known_member(const std::string& name) {
  for (const torvi::backup_restore_row& row : torvi::backup_restore_table) {
    if (name == row.member) return true;
  }
  return false;
}

// What a restore hands over is a finished archive of one member the
// controller knows, holding all the bytes its header claims.
void check_pushed(std::span<const std::uint8_t> archive) {
  using namespace torvi;
  tar_stream reader;
  tar_header header;
  if (tar_open_memory_reader(reader, archive.data(), archive.size()) != TAR_OK ||
      tar_read_header(reader, header) != TAR_OK || tar_check_member(reader, header) != TAR_OK ||
      !known_member(header.name)) {
    __builtin_trap();
  }
  tar_close(reader);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvi;
  fuzz_quiet_console();
  if (size < 2) return 0;
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(data + 2, size - 2, 0, &error);
  backup_zip_reader zip;
  if (source) zip.archive.reset(zip_open_from_source(source, ZIP_RDONLY, &error));
  if (source && !zip.archive) zip_source_free(source);
  zip_error_fini(&error);
  if (!zip.archive) return 0;

  const std::uint8_t failures = data[1];
  unsigned pushes = 0;
  put_backup_restore_zip(kFirmware[data[0] % std::size(kFirmware)], zip,
                         [&](std::span<const std::uint8_t> archive) {
                           check_pushed(archive);
                           return (failures >> (pushes++ % 8)) & 1;
                         });
  return 0;
}
