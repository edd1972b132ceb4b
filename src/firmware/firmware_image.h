#pragma once
// What push_firmware makes of a firmware file before anything goes to the
// controller: the reader the extension picks, a package's header compared
// with the payload's digest, and the information check. A caller that only
// explains a verdict asks the same function, so what it says about a file
// is push_firmware's own decision, not a copy of it.

#include <cstdint>
#include <optional>

#include "digest/sha256.h"
#include "firmware/firmware_package.h"
#include "link/records.h"

namespace torvi {

// Printed, without a line end, when a file is refused.
constexpr char kFirmwareNotValid[] = "FIRMWARE FILE IS NOT VALID!";

// The reader a path's extension picks ("bin", "binary"), or none.
enum class FirmwareFileKind : std::uint8_t { package, raw, unsupported };

// How far a file got, for callers that explain a verdict.
struct FirmwareFileCheck {
  FirmwareFileKind kind = FirmwareFileKind::unsupported;
  int reader_result = 0;  // the reader's result; 0 when no reader ran
  // A package's decoded header; empty when it was not reached or is not a
  // whole digest in hexadecimal.
  std::optional<Sha256Digest> header_digest;
  Sha256Digest digest{};  // SHA-256 of every byte the reader fed it
  // A package's steps as its reader took them, ending with the digest
  // comparison made here; left as it starts for any other file.
  PackageTrace package;
  bool readable = false;  // the reader succeeded and a package's header matched
  int info_result = 1;    // firmware_check_info's result; 1 when not reached
};

// Reads the file named by record.path into the record and checks it,
// printing exactly what push_firmware prints before its transfer: the
// leading empty line, the reader's messages, "File is invalid (h).\n" or
// "File format not supported.\n", the information report, and
// kFirmwareNotValid for a refusal. 0 when the image may be sent (then
// check.digest is what the upgrade request names), 1 when it is refused.
int firmware_check_file(ImageRecord& record, FirmwareFileCheck& check);

}  // namespace torvi
