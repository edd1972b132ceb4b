#pragma once
// The five actions the entry point dispatches to. Each checks its own
// arguments (absent texts are null, absent lists are null) and returns 0 on
// success, 1 on failure and 2 when a required argument is missing.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "digest/sha256.h"
#include "import/csv_frame.h"
#include "link/records.h"
#include "link/transfers.h"
#include "status/status.h"

namespace torvi {

// Result of an action whose CSV file could not be tokenised: the run ends at
// once with exit status 1.
constexpr int ACTION_ABORTED = 3;

// Prints the controller's model name. With `record`, what the controller
// reported stays there for the caller (even when it named no model).
int get_status(const char* ip, StatusRecord* record = nullptr);

// What a get_backup run stored, for a caller that must tell a whole backup
// from part of one: the console lines say only what the controller sent.
struct get_backup_report {
  std::string archive;                 // the ZIP completed on disk; empty when none was
  std::vector<std::string> requested;  // the configurations asked for, in order
  std::vector<std::string> stored;     // of them accepted and written, in order
  // The controller's serial number as the first stored archive's
  // "status.txt" names it.
  std::optional<std::string> serial_number;
};

// Fetches configurations and stores them as one ZIP backup or as tar files.
int get_backup(const char* ip, const char* backupFileOut, const char* backupFileOutType,
               const std::vector<std::string>* backupConfig, get_backup_report* report = nullptr);

// What a put_backup run sent, for a caller that must know whether the whole
// backup reached the controller.
struct put_backup_report {
  bool answered = false;  // the controller's status was read
  int entries = 0;        // configurations of the backup the restore table names
  int pushed = 0;         // of them uploaded and their restore requested
  bool refused = false;   // accept_target turned the controller down
};

struct put_backup_options {
  UploadLimits limits;
  // Asked with the controller's status once its model line is printed,
  // before anything is sent: false ends the action (result 1) with nothing
  // sent to that controller.
  std::function<bool(const StatusRecord& status)> accept_target;
  put_backup_report* report = nullptr;
};

// Sends a backup (ZIP or single tar) back and has the controller restore it.
int put_backup(const char* ip, const char* backupFileIn, const UploadLimits& limits = {});
int put_backup(const char* ip, const char* backupFileIn, const put_backup_options& options);

// Overlays CSV rows on channel configurations and sends them back, one
// channel after another. `options` reach the CSV tokenizer (tests only).
int setup_channel(const char* ip, const std::vector<std::uint32_t>* channels,
                  const std::vector<std::string>* channelCsvFiles,
                  const std::vector<std::string>* channelGroupsCsvFiles,
                  const std::vector<std::string>* channelInputsCsvFiles,
                  const csv_read_options& options = {}, const UploadLimits& limits = {});

// Checks a firmware package or raw image and installs it on the controller.
int push_firmware(const char* ip, const char* firmwareFile, const UploadLimits& limits = {});

// push_firmware's transfers for an image whose checks have passed: the
// upload, "OK\n", the upgrade request naming `digest` and the image's
// size, and "OK\n" once that went through. 0 when both transfers did, 1
// when the upload failed (no request was sent), 2 when the request failed.
// The image is only read, so one record can serve uploads to many
// controllers at once.
int push_firmware_image(const char* ip, const ImageRecord& image, const Sha256Digest& digest,
                        const UploadLimits& limits = {});

}  // namespace torvi
