#include "firmware/firmware_package.h"

#include <sys/stat.h>
#include <zip.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "digest/hex.h"
#include "firmware/entry_decoder.h"
#include "firmware/firmware_info.h"
#include "firmware/winzip_aes.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/memory.h"

namespace torvi {
namespace {

// Files and entries are read in chunks of this size: large enough that a
// 16 MB image costs few calls, small enough to stay in the level-2 cache
// between being read, hashed and appended.
constexpr std::size_t kChunk = 64 * 1024;
// The header is read with one request of this many bytes, so that a header
// that is too long shows up as one.
constexpr std::size_t kHeaderRead = 128;

struct ZipDiscarder {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ZipPtr = std::unique_ptr<zip_t, ZipDiscarder>;

// Closing an entry reports a CRC mismatch, among others; the reader does not
// look at it, as the digest comparison judges the content.
struct ZipFileCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using ZipFilePtr = std::unique_ptr<zip_file_t, ZipFileCloser>;

// Appends `length` bytes; false when memory runs out (or the test limit hits).
bool append_bytes(std::vector<std::uint8_t>& block, const std::uint8_t* bytes, std::size_t length,
                  const FirmwareReaderFaults& faults) {
  if (length > faults.allocation_limit || block.size() > faults.allocation_limit - length)
    return false;
  try {
    block.insert(block.end(), bytes, bytes + length);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// Room for `more` bytes behind what the block holds, but never past `limit`.
// Reserving is only a speed-up: growth itself reports a shortage.
void reserve_up_to(std::vector<std::uint8_t>& block, std::uint64_t more, std::size_t limit,
                   const FirmwareReaderFaults& faults) {
  if (block.size() >= limit) return;
  const std::size_t size =
      block.size() + static_cast<std::size_t>(std::min<std::uint64_t>(more, limit - block.size()));
  if (size > faults.allocation_limit) return;
  try {
    block.reserve(size);
  } catch (const std::bad_alloc&) {
    return;
  }
  platform_advise_large_block(block.data() + block.size(), block.capacity() - block.size());
}

// Room for a regular file's bytes.
void reserve_for(std::vector<std::uint8_t>& block, FILE* file, std::size_t limit,
                 const FirmwareReaderFaults& faults) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) return;
  reserve_up_to(block, static_cast<std::uint64_t>(info.st_size), limit, faults);
}

enum class PackageRead { ok, memory, too_large };

PackageRead read_package_file(const char* path, std::vector<std::uint8_t>& bytes,
                              const FirmwareReaderFaults& faults) {
  unique_file file = file_open(path, "rb");
  if (!file) return PackageRead::ok;  // an empty package, refused as unreadable
  struct stat info;
  if (fstat(fileno(file.get()), &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<std::uint64_t>(info.st_size) > kFirmwarePackageMaxSize) {
    return PackageRead::too_large;
  }
  reserve_for(bytes, file.get(), kFirmwarePackageMaxSize, faults);
  std::uint8_t chunk[kChunk];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    if (bytes.size() + n > kFirmwarePackageMaxSize) return PackageRead::too_large;
    if (!append_bytes(bytes, chunk, n, faults)) return PackageRead::memory;
  }
  return PackageRead::ok;
}

ZipPtr open_archive(const std::uint8_t* bytes, std::size_t count) {
  // libzip treats zero bytes as a new, empty archive; a package it is not.
  if (!bytes || count == 0) return nullptr;
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(bytes, count, 0, &error);
  zip_t* archive = source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
  if (source && !archive) zip_source_free(source);
  zip_error_fini(&error);
  return ZipPtr(archive);
}

// An open entry: libzip hands over the stored bytes, WinZip AES decrypts
// them, the decoder decompresses. The decoder's source points here, so an
// open entry stays where it was opened.
struct OpenEntry {
  ZipFilePtr file;
  WinZipAesPtr aes;
  std::uint64_t encrypted_left = 0;            // data bytes between the verifier and the code
  std::optional<std::int64_t> end;             // what the source says once the data is out
  std::optional<std::uint64_t> declared_size;  // the content size the record claims
  EntryDecoderPtr decoder;
};

// The decoder's source: the entry's next bytes, decrypted. Once the data is
// out it checks the authentication code: 0 (the end) when it holds, -1 (a
// read error) when not, so a damaged entry hands over all its bytes and then
// fails, and the digest comparison judges what it gave.
std::int64_t read_decrypted(OpenEntry& entry, std::uint8_t* buffer, std::size_t capacity) {
  if (entry.end) return *entry.end;
  if (entry.encrypted_left == 0) {
    std::uint8_t code[kWinZipAesCodeSize];
    const bool authentic = !entry.aes || (zip_fread(entry.file.get(), code, sizeof code) ==
                                              static_cast<zip_int64_t>(sizeof code) &&
                                          winzip_aes_authentic(*entry.aes, code));
    entry.end = authentic ? 0 : -1;
    return *entry.end;
  }
  const std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>(capacity, entry.encrypted_left));
  const zip_int64_t n = zip_fread(entry.file.get(), buffer, want);
  // libzip never ends an entry's window early without an error; an entry
  // shorter than its record says is damaged either way.
  if (n <= 0 || !winzip_aes_decrypt(*entry.aes, buffer, static_cast<std::size_t>(n))) {
    entry.end = -1;
    return -1;
  }
  entry.encrypted_left -= static_cast<std::uint64_t>(n);
  return n;
}

// The method has been checked already; what fails here is the password or
// the start of the method's data. The entry is read as stored (libzip
// decrypts one AES block per call, far too slowly for an image) and
// decrypted here, failing where libzip's own decryption fails: an entry too
// short for the salt, verifier and code, and a verifier the password does
// not give. An entry with no stored bytes at all opens empty, as in libzip.
bool open_entry(zip_t* archive, zip_uint64_t index, const zip_stat_t& stat, OpenEntry& entry) {
  if (!(stat.valid & ZIP_STAT_COMP_SIZE)) return false;
  entry.file.reset(zip_fopen_index(archive, index, ZIP_FL_ENCRYPTED));
  if (!entry.file) return false;
  if (stat.comp_size > 0) {
    if (stat.comp_size < kWinZipAes256Overhead) return false;
    std::uint8_t salt[kWinZipAes256SaltSize];
    std::uint8_t verifier[kWinZipAesVerifierSize];
    if (zip_fread(entry.file.get(), salt, sizeof salt) != static_cast<zip_int64_t>(sizeof salt) ||
        zip_fread(entry.file.get(), verifier, sizeof verifier) !=
            static_cast<zip_int64_t>(sizeof verifier)) {
      return false;
    }
    entry.aes = winzip_aes_start(kFirmwarePackagePassword, salt, verifier);
    if (!entry.aes) return false;
    entry.encrypted_left = stat.comp_size - kWinZipAes256Overhead;
  }
  if (stat.valid & ZIP_STAT_SIZE) entry.declared_size = stat.size;
  OpenEntry* open = &entry;
  entry.decoder = entry_decoder_open(stat.comp_method, entry.declared_size,
                                     [open](std::uint8_t* buffer, std::size_t capacity) {
                                       return read_decrypted(*open, buffer, capacity);
                                     });
  return entry.decoder != nullptr;
}

// The trace names encryptions by libzip's own numbers.
static_assert(static_cast<int>(EntryEncryption::none) == ZIP_EM_NONE);
static_assert(static_cast<int>(EntryEncryption::traditional_pkware) == ZIP_EM_TRAD_PKWARE);
static_assert(static_cast<int>(EntryEncryption::aes128) == ZIP_EM_AES_128);
static_assert(static_cast<int>(EntryEncryption::aes192) == ZIP_EM_AES_192);
static_assert(static_cast<int>(EntryEncryption::aes256) == ZIP_EM_AES_256);

// What the entry's record says, for the trace and for the checks alike.
PackageEntrySeen seen_in(const zip_stat_t& stat) {
  PackageEntrySeen seen;
  if (stat.valid & ZIP_STAT_COMP_METHOD) seen.method = stat.comp_method;
  if (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) {
    seen.encryption = static_cast<EntryEncryption>(stat.encryption_method);
  }
  return seen;
}

// The messages and steps of one entry: the header's and the payload's.
struct EntryNames {
  const char* name;
  int missing_code;
  const char* missing;
  const char* no_record;
  const char* not_aes256;
  int password_code;
  PackageStep present, aes256, method, opens;
};

constexpr EntryNames kHeaderNames{kFirmwareHeaderEntry,
                                  FIRMWARE_ERR_NO_HEADER,
                                  "File format is invalid (bh).\n",
                                  "File format is invalid (ppbh).\n",
                                  "File format is invalid (ppfbh).\n",
                                  FIRMWARE_ERR_HEADER_PASSWORD,
                                  PackageStep::header_present,
                                  PackageStep::header_aes256,
                                  PackageStep::header_method,
                                  PackageStep::header_opens};
constexpr EntryNames kPayloadNames{kFirmwarePayloadEntry,
                                   FIRMWARE_ERR_NO_PAYLOAD,
                                   "File format is invalid (binary).\n",
                                   "File format is invalid (ppb).\n",
                                   "File format is invalid (ppfb).\n",
                                   FIRMWARE_ERR_PAYLOAD_PASSWORD,
                                   PackageStep::payload_present,
                                   PackageStep::payload_aes256,
                                   PackageStep::payload_method,
                                   PackageStep::payload_opens};

// Locates, checks and opens one entry, noting each step in `at` before it
// is taken; prints the failure and returns its code.
int find_and_open(zip_t* archive, const EntryNames& names, OpenEntry& entry,
                  const FirmwareReaderFaults& faults, PackageEntrySeen& seen, PackageStep& at) {
  at = names.present;
  const zip_int64_t index = zip_name_locate(archive, names.name, 0);
  if (index < 0) {
    console_out("%s", names.missing);
    return names.missing_code;
  }
  zip_stat_t stat;
  zip_stat_init(&stat);
  const bool record_fault =
      faults.no_record_for && std::strcmp(faults.no_record_for, names.name) == 0;
  if (record_fault || zip_stat_index(archive, static_cast<zip_uint64_t>(index), 0, &stat) != 0) {
    console_out("%s", names.no_record);
    return FIRMWARE_ERR_ENTRY_RECORD;
  }
  seen = seen_in(stat);
  at = names.aes256;
  if (seen.encryption != EntryEncryption::aes256) {
    console_out("%s", names.not_aes256);
    return FIRMWARE_ERR_NOT_AES256;
  }
  // A method the reader cannot decode fails as a password would: the
  // result and the message are the same, only the step tells them apart.
  at = names.method;
  if (!seen.method || !entry_method_supported(*seen.method)) {
    console_out("File format is invalid (pbh).\n");
    return names.password_code;
  }
  at = names.opens;
  if (!open_entry(archive, static_cast<zip_uint64_t>(index), stat, entry)) {
    console_out("File format is invalid (pbh).\n");
    return names.password_code;
  }
  return FIRMWARE_OK;
}

// Keeps the header only when it is a whole digest: 64 digits give 32 bytes,
// while a NUL among them would leave fewer to compare.
std::optional<Sha256Digest> decode_header(const std::uint8_t (&text)[kHeaderRead + 1]) {
  std::optional<std::vector<std::uint8_t>> bytes = hex_decode(reinterpret_cast<const char*>(text));
  if (!bytes || bytes->size() != kSha256DigestSize) return std::nullopt;
  Sha256Digest digest;
  std::copy(bytes->begin(), bytes->end(), digest.begin());
  return digest;
}

// How much more the image may take before it is known to be too large:
// one byte past the largest acceptable image is enough to refuse it.
std::size_t room_left(const ImageRecord& image, std::size_t chunk) {
  const std::size_t cap = kFirmwareImageMaxSize + 1;
  if (image.data.size() >= cap) return 0;
  return std::min(chunk, cap - image.data.size());
}

// Steps of the package reader from the archive on: the header entry, then
// the payload.
int read_package_bytes(const std::uint8_t* package, std::size_t count, ImageRecord& image,
                       std::optional<Sha256Digest>& header_digest, Sha256Context& digest,
                       const FirmwareReaderFaults& faults, PackageTrace& trace) {
  header_digest.reset();
  trace = {};
  ZipPtr archive = open_archive(package, count);
  if (!archive) {
    console_out("File format is invalid (open).\n");
    return FIRMWARE_ERR_OPEN;
  }

  {
    OpenEntry header;
    if (int rc = find_and_open(archive.get(), kHeaderNames, header, faults, trace.header,
                               trace.stopped_at);
        rc != FIRMWARE_OK)
      return rc;
    trace.stopped_at = PackageStep::header_length;
    std::uint8_t text[kHeaderRead + 1] = {};
    const std::int64_t n = entry_decoder_read(*header.decoder, text, kHeaderRead);
    if (n != static_cast<std::int64_t>(kFirmwareHeaderLength)) {
      console_out("File content length is invalid (bh).\n");
      return FIRMWARE_ERR_HEADER_LENGTH;
    }
    header_digest = decode_header(text);
  }

  OpenEntry payload;
  if (int rc = find_and_open(archive.get(), kPayloadNames, payload, faults, trace.payload,
                             trace.stopped_at);
      rc != FIRMWARE_OK)
    return rc;
  trace.stopped_at = PackageStep::payload_read;
  // The claimed size saves growing the image step by step; it is only a
  // hint, bounded by what the record may keep.
  if (payload.declared_size) {
    reserve_up_to(image.data, *payload.declared_size, kFirmwareImageMaxSize + 1, faults);
  }
  // Every decoded byte goes into the digest, also those past what the record
  // keeps, so a payload too large still matches its header and the
  // information check refuses it by its size.
  std::uint8_t chunk[kChunk];
  for (;;) {
    const std::int64_t n = entry_decoder_read(*payload.decoder, chunk, sizeof chunk);
    // A read error ends the image where it stands; the digest judges it.
    if (n <= 0) break;
    sha256_update(digest, chunk, static_cast<std::size_t>(n));
    const std::size_t keep = room_left(image, static_cast<std::size_t>(n));
    if (keep > 0 && !append_bytes(image.data, chunk, keep, faults)) {
      image.size = image.data.size();
      console_out("memory error\n");
      return FIRMWARE_ERR_IMAGE_MEMORY;
    }
    image.size = image.data.size();
  }
  trace.stopped_at = PackageStep::passed;
  return FIRMWARE_OK;
}

}  // namespace

int firmware_read_package_bytes(const std::uint8_t* package, std::size_t count, ImageRecord& image,
                                std::optional<Sha256Digest>& header_digest, Sha256Context& digest,
                                PackageTrace* trace) {
  PackageTrace unasked;
  return read_package_bytes(package, count, image, header_digest, digest, FirmwareReaderFaults{},
                            trace ? *trace : unasked);
}

int firmware_read_package(ImageRecord* image, std::optional<Sha256Digest>* header_digest,
                          Sha256Context* digest, PackageTrace* trace) {
  return firmware_read_package(image, header_digest, digest, FirmwareReaderFaults{}, trace);
}

int firmware_read_package(ImageRecord* image, std::optional<Sha256Digest>* header_digest,
                          Sha256Context* digest, const FirmwareReaderFaults& faults,
                          PackageTrace* trace) {
  PackageTrace unasked;
  PackageTrace& steps = trace ? *trace : unasked;
  steps = {};
  console_out("Preparing file...\n");
  if (!image || !header_digest || !digest) {
    console_out("Parameters error.\n");
    return FIRMWARE_ERR_PARAMETERS;
  }
  header_digest->reset();
  std::vector<std::uint8_t> package;
  const PackageRead read = read_package_file(image->path, package, faults);
  if (read == PackageRead::memory) {
    console_out("memory error\n");
    return FIRMWARE_ERR_PACKAGE_MEMORY;
  }
  // A package too large to take in is no archive the reader can open.
  if (read == PackageRead::too_large) package = {};
  return read_package_bytes(package.data(), package.size(), *image, *header_digest, *digest, faults,
                            steps);
}

int firmware_read_binary(ImageRecord* image, Sha256Context* digest) {
  return firmware_read_binary(image, digest, FirmwareReaderFaults{});
}

int firmware_read_binary(ImageRecord* image, Sha256Context* digest,
                         const FirmwareReaderFaults& faults) {
  console_out("Preparing file...\n");
  if (!image || !digest) {
    console_out("Parameters error.\n");
    return FIRMWARE_ERR_PARAMETERS;
  }
  unique_file file = file_open(image->path, "rb");
  if (!file) return FIRMWARE_OK;
  reserve_for(image->data, file.get(), kFirmwareImageMaxSize + 1, faults);
  std::uint8_t chunk[kChunk];
  for (;;) {
    const std::size_t want = room_left(*image, sizeof chunk);
    if (want == 0) break;
    const std::size_t n = std::fread(chunk, 1, want, file.get());
    if (n == 0) break;
    if (!append_bytes(image->data, chunk, n, faults)) {
      console_out("memory error\n");
      return FIRMWARE_ERR_PACKAGE_MEMORY;
    }
    sha256_update(*digest, chunk, n);
    image->size = image->data.size();
  }
  return FIRMWARE_OK;
}

const char* file_extension(const char* path) {
  if (!path) return "";
  const char* dot = std::strrchr(path, '.');
  if (!dot || dot == path) return "";
  return dot + 1;
}

}  // namespace torvi
