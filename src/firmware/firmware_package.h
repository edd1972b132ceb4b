#pragma once
// The two readers that turn a firmware file into the image held in memory:
// the encrypted package ("bin": a ZIP with an AES-256 header entry naming
// the image's SHA-256 and the image entry itself) and the raw image
// ("binary"). Both feed the caller's running digest with the whole image.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "digest/sha256.h"
#include "link/records.h"

namespace torvi {

// Both package entries open with this password (a text, not a key).
constexpr char kFirmwarePackagePassword[] = "5e0b7a4c91d2f8e36a0c4b7d19e2f5a83c6d0b41";
constexpr char kFirmwareHeaderEntry[] = "torvi.bh";
constexpr char kFirmwarePayloadEntry[] = "torvi.binary";
// The header entry is exactly this many hexadecimal digits.
constexpr std::size_t kFirmwareHeaderLength = 64;
// Largest package file the reader takes in (its length is a signed 32-bit count).
constexpr std::size_t kFirmwarePackageMaxSize = 2147483647;

// Results of the readers.
constexpr int FIRMWARE_OK = 0;
constexpr int FIRMWARE_ERR_PACKAGE_MEMORY = -2;  // also the raw reader's growth failure
constexpr int FIRMWARE_ERR_IMAGE_MEMORY = -3;
constexpr int FIRMWARE_ERR_NO_PAYLOAD = -4;
constexpr int FIRMWARE_ERR_HEADER_LENGTH = -7;
constexpr int FIRMWARE_ERR_NO_HEADER = -8;
constexpr int FIRMWARE_ERR_OPEN = -9;
constexpr int FIRMWARE_ERR_PARAMETERS = -10;
constexpr int FIRMWARE_ERR_HEADER_PASSWORD = -11;
constexpr int FIRMWARE_ERR_PAYLOAD_PASSWORD = -12;
constexpr int FIRMWARE_ERR_ENTRY_RECORD = -13;
constexpr int FIRMWARE_ERR_NOT_AES256 = -15;

// The package reader's checks in the order it makes them, then the
// comparison of the header with the payload's digest that
// firmware_check_file makes after it. Several checks share one result code
// and one message, so a caller that explains a refusal asks for these.
enum class PackageStep : std::uint8_t {
  archive_opens,    // the file is read whole and opens as a ZIP archive
  header_present,   // the header entry is found and its record taken
  header_aes256,    // it is WinZip AES-256 encrypted
  header_method,    // its compression method is one the reader decodes
  header_opens,     // it opens with the password and its data starts to decode
  header_length,    // it holds exactly 64 bytes
  payload_present,  // likewise for the payload entry
  payload_aes256,
  payload_method,
  payload_opens,
  payload_read,  // its content is read whole
  digest,        // the header names the payload's SHA-256
  passed,        // nothing stopped the file
};

// An entry's encryption as its ZIP record states it; a value not listed
// here is one the reader does not know.
enum class EntryEncryption : std::uint16_t {
  none = 0,
  traditional_pkware = 1,
  aes128 = 0x0101,
  aes192 = 0x0102,
  aes256 = 0x0103,
};

// What the reader found in one entry's record; empty where the record
// gives nothing or was not reached.
struct PackageEntrySeen {
  std::optional<int> method;  // ZIP compression method number
  std::optional<EntryEncryption> encryption;
};

// The reader's own account of a package: the step it stopped at and what
// it saw of the two entries on its way there.
struct PackageTrace {
  PackageStep stopped_at = PackageStep::archive_opens;
  PackageEntrySeen header;
  PackageEntrySeen payload;
};

// Reads the package named by image->path: appends the payload to the
// record and feeds it to `digest`. `header_digest` receives the decoded
// header as soon as it is read (so it is set after a later failure too),
// or stays empty when the header is not 64 hexadecimal digits. Prints its
// progress and any failure; returns FIRMWARE_OK or one of the codes above.
// The record keeps at most one byte more than the largest acceptable image,
// so a payload too large is never held whole, yet every decoded byte is fed
// to `digest`: such a package matches its header and is refused by the
// information check, as a raw image of that size is. A `trace`, when
// given, receives the step the reader stopped at (PackageStep::passed when
// it read both entries).
int firmware_read_package(ImageRecord* image, std::optional<Sha256Digest>* header_digest,
                          Sha256Context* digest, PackageTrace* trace = nullptr);

// The package reader over package bytes already in memory (`count` bytes at
// `package`; `digest` started with sha256_init): everything
// firmware_read_package does once it has read the file, with the same
// results and messages, but without "Preparing file..." before them.
int firmware_read_package_bytes(const std::uint8_t* package, std::size_t count, ImageRecord& image,
                                std::optional<Sha256Digest>& header_digest, Sha256Context& digest,
                                PackageTrace* trace = nullptr);

// Reads the raw image file named by image->path into the record and feeds
// it to `digest`. A file that does not open gives FIRMWARE_OK and an empty
// image, which the information check refuses. It stops reading once the
// image is one byte longer than the largest acceptable one.
int firmware_read_binary(ImageRecord* image, Sha256Context* digest);

// The text after the last '.' of the whole path (a '.' in a folder name
// counts too); an empty text when there is no '.' or when the only place
// it could start is the path's first character. Never null.
const char* file_extension(const char* path);

// Failures that real input cannot bring about (memory running out, libzip
// refusing an entry's record it has already listed), made on purpose so
// tests can reach every message of the readers. The readers above run with
// none of them.
struct FirmwareReaderFaults {
  std::size_t allocation_limit = SIZE_MAX;  // growing a buffer past this fails
  const char* no_record_for = nullptr;      // the entry whose record cannot be taken
};
int firmware_read_package(ImageRecord* image, std::optional<Sha256Digest>* header_digest,
                          Sha256Context* digest, const FirmwareReaderFaults& faults,
                          PackageTrace* trace = nullptr);
int firmware_read_binary(ImageRecord* image, Sha256Context* digest,
                         const FirmwareReaderFaults& faults);

}  // namespace torvi
