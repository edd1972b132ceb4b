#include "firmware/firmware_image.h"

#include <cstring>

#include "firmware/firmware_info.h"
#include "firmware/firmware_package.h"
#include "platform/console.h"

namespace torvi {
namespace {

// Turns the file into the image held in `record`, with the digest of
// exactly those bytes. False when it is not a usable firmware file; the
// reader has said why.
bool read_image(ImageRecord& record, FirmwareFileCheck& check) {
  Sha256Context context;
  sha256_init(context);
  const char* extension = file_extension(record.path);
  console_out("\n");
  if (std::strcmp(extension, "bin") == 0) {
    check.kind = FirmwareFileKind::package;
    check.reader_result =
        firmware_read_package(&record, &check.header_digest, &context, &check.package);
    sha256_final(context, check.digest.data());
    if (check.reader_result != FIRMWARE_OK) return false;
    if (!check.header_digest) {
      check.package.stopped_at = PackageStep::digest;
      return false;
    }
    if (*check.header_digest != check.digest) {
      check.package.stopped_at = PackageStep::digest;
      console_out("File is invalid (h).\n");
      return false;
    }
    return true;
  }
  if (std::strcmp(extension, "binary") == 0) {
    check.kind = FirmwareFileKind::raw;
    check.reader_result = firmware_read_binary(&record, &context);
    sha256_final(context, check.digest.data());
    return check.reader_result == FIRMWARE_OK;
  }
  check.kind = FirmwareFileKind::unsupported;
  console_out("File format not supported.\n");
  return false;
}

}  // namespace

int firmware_check_file(ImageRecord& record, FirmwareFileCheck& check) {
  check = {};
  check.readable = read_image(record, check);
  if (check.readable) check.info_result = firmware_check_info(record.data.data(), record.size);
  if (!check.readable || check.info_result != 0) {
    console_out("%s", kFirmwareNotValid);
    return 1;
  }
  return 0;
}

}  // namespace torvi
