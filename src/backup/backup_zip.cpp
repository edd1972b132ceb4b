#include "backup/backup_zip.h"

#include <zip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace torvi {

void ZipArchiveCloser::operator()(zip* archive) const { zip_discard(archive); }

int backup_zip_open(backup_zip& z, const std::string& path) {
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (!archive) return 1;
  z.path = path;
  z.archive.reset(archive);
  z.entries = 0;
  return 0;
}

int backup_zip_add(backup_zip& z, const std::string& name, std::span<const std::uint8_t> bytes) {
  if (!z.archive) return 1;
  // libzip reads the source only when the archive is closed, so it gets a
  // copy of its own that it frees then.
  void* copy = std::malloc(bytes.empty() ? 1 : bytes.size());
  if (!copy) return 1;
  if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
  zip_source_t* source = zip_source_buffer(z.archive.get(), copy, bytes.size(), 1);
  if (!source) {
    std::free(copy);
    return 1;
  }
  zip_int64_t index = zip_file_add(z.archive.get(), name.c_str(), source, ZIP_FL_OVERWRITE);
  if (index < 0) {
    zip_source_free(source);
    return 1;
  }
  auto i = static_cast<zip_uint64_t>(index);
  zip_set_file_compression(z.archive.get(), i, ZIP_CM_DEFLATE, 6);
  zip_file_set_mtime(z.archive.get(), i, std::time(nullptr), 0);
  ++z.entries;
  return 0;
}

namespace {

// libzip removes an archive that ends up with no entries; a backup of a
// controller that refused everything is still a valid, empty archive. It is
// written beside the target and renamed, like libzip does.
int write_empty_zip(const std::string& path) {
  static const unsigned char kEndOfCentralDirectory[22] = {0x50, 0x4b, 0x05, 0x06};
  std::string temporary = path + ".part";
  FILE* f = std::fopen(temporary.c_str(), "wb");
  if (!f) return 1;
  bool ok = std::fwrite(kEndOfCentralDirectory, 1, sizeof kEndOfCentralDirectory, f) ==
            sizeof kEndOfCentralDirectory;
  ok = std::fclose(f) == 0 && ok;
  if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int backup_zip_close(backup_zip& z) {
  if (!z.archive) return 1;
  if (z.entries == 0) {
    z.archive.reset();  // discards: nothing was added
    return write_empty_zip(z.path);
  }
  if (zip_close(z.archive.get()) != 0) return 1;
  z.archive.release();  // zip_close freed it
  return 0;
}

}  // namespace torvi
