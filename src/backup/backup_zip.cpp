#include "backup/backup_zip.h"

#include <zip.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/file.h"
#include "platform/platform.h"

namespace torvi {

void ZipArchiveCloser::operator()(zip* archive) const {
  zip_discard(archive);
}

namespace {

// libzip's failures that come from the system carry its error number; the
// user hears the system's own words for those.
std::string reason_of(zip_error_t* error) {
  if (zip_error_system_type(error) == ZIP_ET_SYS && zip_error_code_system(error) != 0) {
#ifdef _WIN32
    // libzip's Windows file functions pass on a Windows error that has no
    // errno of its own as 10000 plus that error.
    constexpr int kWindowsErrorBase = 10000;
    if (zip_error_code_system(error) >= kWindowsErrorBase) {
      return platform_windows_error_text(
          static_cast<unsigned long>(zip_error_code_system(error) - kWindowsErrorBase));
    }
#endif
    return std::strerror(zip_error_code_system(error));
  }
  return zip_error_strerror(error);
}

}  // namespace

int backup_zip_open(backup_zip& z, const std::string& path) {
  z = backup_zip{};
  z.path = path;
  int code = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  if (!archive) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);  // takes errno for system errors
    z.error = reason_of(&error);
    zip_error_fini(&error);
    return 1;
  }
  z.archive.reset(archive);
  return 0;
}

int backup_zip_add(backup_zip& z, const std::string& name, std::span<const std::uint8_t> bytes) {
  if (!z.archive) return 1;
  // libzip reads the source only when the archive is closed, so it gets a
  // copy of its own that it frees then.
  void* copy = std::malloc(bytes.empty() ? 1 : bytes.size());
  if (!copy) {
    z.error = std::strerror(ENOMEM);
    return 1;
  }
  if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
  zip_source_t* source = zip_source_buffer(z.archive.get(), copy, bytes.size(), 1);
  if (!source) {
    z.error = reason_of(zip_get_error(z.archive.get()));
    std::free(copy);
    return 1;
  }
  zip_int64_t index = zip_file_add(z.archive.get(), name.c_str(), source, ZIP_FL_OVERWRITE);
  if (index < 0) {
    z.error = reason_of(zip_get_error(z.archive.get()));
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
// written beside the target and renamed, like libzip does. 0, or errno.
int write_empty_zip(const std::string& path) {
  static const std::uint8_t kEndOfCentralDirectory[22] = {0x50, 0x4b, 0x05, 0x06};
  const std::string temporary = path + ".part";
  if (int error = platform_write_file(temporary, kEndOfCentralDirectory)) return error;
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    std::remove(temporary.c_str());
    return error;
  }
  return 0;
}

}  // namespace

int backup_zip_close(backup_zip& z) {
  if (!z.archive) return 1;
  if (z.entries == 0) {
    z.archive.reset();  // discards: nothing was added
    if (int error = write_empty_zip(z.path)) {
      z.error = std::strerror(error);
      return 1;
    }
    return 0;
  }
  if (zip_close(z.archive.get()) != 0) {
    z.error = reason_of(zip_get_error(z.archive.get()));
    z.archive.reset();  // discards what was half written
    return 1;
  }
  z.archive.release();  // zip_close freed it
  return 0;
}

}  // namespace torvi

namespace torvi {
namespace {

struct ZipEntryCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};

// Directory marks in an entry's external attributes: the MS-DOS attribute
// bit, and the file type in the upper half as Unix archivers store it.
constexpr std::uint32_t kDosDirectory = 0x10;
constexpr std::uint32_t kUnixTypeMask = 0170000;
constexpr std::uint32_t kUnixDirectory = 0040000;

}  // namespace

int backup_zip_open_read(backup_zip_reader& z, const std::string& path) {
  int error = 0;
  // Read-only, libzip refuses an empty file as not a ZIP archive.
  zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, &error);
  if (!archive) return 1;
  z.archive.reset(archive);
  return 0;
}

std::uint64_t backup_zip_count(const backup_zip_reader& z) {
  if (!z.archive) return 0;
  const zip_int64_t count = zip_get_num_entries(z.archive.get(), 0);
  return count > 0 ? static_cast<std::uint64_t>(count) : 0;
}

int backup_zip_stat(const backup_zip_reader& z, std::uint64_t index, backup_zip_entry& entry) {
  if (!z.archive) return 1;
  const char* name = zip_get_name(z.archive.get(), index, ZIP_FL_ENC_RAW);
  if (!name) return 1;
  entry.name = name;
  for (char& c : entry.name) {
    if (c == '\\') c = '/';
  }
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  zip_file_get_external_attributes(z.archive.get(), index, 0, &system, &attributes);
  const bool unix_directory =
      system == ZIP_OPSYS_UNIX && ((attributes >> 16) & kUnixTypeMask) == kUnixDirectory;
  entry.directory = (!entry.name.empty() && entry.name.back() == '/') ||
                    (attributes & kDosDirectory) != 0 || unix_directory;
  zip_stat_t stat;
  zip_stat_init(&stat);
  const bool dated =
      zip_stat_index(z.archive.get(), index, 0, &stat) == 0 && (stat.valid & ZIP_STAT_MTIME) != 0;
  entry.modified = dated ? stat.mtime : 0;
  return 0;
}

int backup_zip_read(const backup_zip_reader& z, std::uint64_t index,
                    std::vector<std::uint8_t>& data, std::size_t limit) {
  data.clear();
  if (!z.archive) return 1;
  std::unique_ptr<zip_file_t, ZipEntryCloser> file(zip_fopen_index(z.archive.get(), index, 0));
  if (!file) return 1;
  // The size in the entry's header is not trusted: the bytes are counted as
  // they are decompressed.
  std::uint8_t chunk[65536];
  try {
    for (;;) {
      const zip_int64_t n = zip_fread(file.get(), chunk, sizeof chunk);
      if (n < 0 || static_cast<std::uint64_t>(n) > limit - data.size()) {
        data = {};
        return 1;
      }
      if (n == 0) break;
      data.insert(data.end(), chunk, chunk + n);
    }
  } catch (const std::bad_alloc&) {
    data = {};
    return 1;
  }
  return 0;
}

}  // namespace torvi
