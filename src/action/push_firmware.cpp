#include "action/actions.h"
#include "firmware/firmware_image.h"
#include "link/records.h"
#include "link/transfers.h"
#include "platform/console.h"

namespace torvi {

int push_firmware(const char* ip, const char* firmwareFile, const UploadLimits& limits) {
  if (!ip) {
    console_out("Missing arguments for action push_firmware.");
    return 2;
  }
  ImageRecord record;
  image_record_set_path(record, firmwareFile);
  FirmwareFileCheck check;
  // Nothing goes to the controller unless every check has passed.
  if (firmware_check_file(record, check) != 0) return 1;
  push_firmware_image(ip, record, check.digest, limits);
  return 1;
}

int push_firmware_image(const char* ip, const ImageRecord& image, const Sha256Digest& digest,
                        const UploadLimits& limits) {
  // No upgrade request follows an upload that did not finish.
  if (firmware_push_tftp(ip, image, limits) != 0) return 1;
  console_out("OK\n");
  if (firmware_upgrade_request(ip, digest.data(), image.size) != 0) return 2;
  console_out("OK\n");
  return 0;
}

}  // namespace torvi
