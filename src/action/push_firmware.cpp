#include <cstring>
#include <optional>

#include "action/actions.h"
#include "digest/sha256.h"
#include "firmware/firmware_info.h"
#include "firmware/firmware_package.h"
#include "link/records.h"
#include "link/transfers.h"
#include "platform/console.h"

namespace torvi {
namespace {

// Turns the firmware file into an image held in `record`, with the digest
// of exactly those bytes. False when the file is not a usable firmware file;
// the reader has said why.
bool read_image(ImageRecord& record, Sha256Digest& digest) {
  Sha256Context context;
  sha256_init(context);
  const char* extension = file_extension(record.path);
  console_out("\n");
  if (std::strcmp(extension, "bin") == 0) {
    std::optional<Sha256Digest> header_digest;
    int result = firmware_read_package(&record, &header_digest, &context);
    sha256_final(context, digest.data());
    if (result != 0 || !header_digest) return false;
    if (*header_digest != digest) {
      console_out("File is invalid (h).\n");
      return false;
    }
    return true;
  }
  if (std::strcmp(extension, "binary") == 0) {
    int result = firmware_read_binary(&record, &context);
    sha256_final(context, digest.data());
    return result == 0;
  }
  console_out("File format not supported.\n");
  return false;
}

}  // namespace

int push_firmware(const char* ip, const char* firmwareFile, const UploadLimits& limits) {
  if (!ip) {
    console_out("Missing arguments for action push_firmware.");
    return 2;
  }
  ImageRecord record;
  image_record_set_path(record, firmwareFile);
  Sha256Digest digest{};
  // Nothing goes to the controller unless every check has passed.
  if (!read_image(record, digest) || firmware_check_info(record.data.data(), record.size) != 0) {
    console_out("FIRMWARE FILE IS NOT VALID!");
    return 1;
  }
  if (firmware_push_tftp(ip, record, limits) != 0) return 1;
  console_out("OK\n");
  if (firmware_upgrade_request(ip, digest.data(), record.size) == 0) console_out("OK\n");
  return 1;
}

}  // namespace torvi
