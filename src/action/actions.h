#pragma once
// The five actions the entry point dispatches to. Each checks its own
// arguments (absent texts are null, absent lists are null) and returns 0 on
// success, 1 on failure and 2 when a required argument is missing.

#include <cstdint>
#include <string>
#include <vector>

#include "import/csv_frame.h"
#include "link/transfers.h"

namespace torvi {

// Result of an action whose CSV file could not be tokenised: the run ends at
// once with exit status 1.
constexpr int ACTION_ABORTED = 3;

// Prints the controller's model name.
int get_status(const char* ip);

// Fetches configurations and stores them as one ZIP backup or as tar files.
int get_backup(const char* ip, const char* backupFileOut, const char* backupFileOutType,
               const std::vector<std::string>* backupConfig);

// Sends a backup (ZIP or single tar) back and has the controller restore it.
int put_backup(const char* ip, const char* backupFileIn, const UploadLimits& limits = {});

// Overlays CSV rows on channel configurations and sends them back, one
// channel after another. `options` reach the CSV tokenizer (tests only).
int setup_channel(const char* ip, const std::vector<std::uint32_t>* channels,
                  const std::vector<std::string>* channelCsvFiles,
                  const std::vector<std::string>* channelGroupsCsvFiles,
                  const std::vector<std::string>* channelInputsCsvFiles,
                  const csv_read_options& options = {}, const UploadLimits& limits = {});

// Checks a firmware package or raw image and installs it on the controller.
int push_firmware(const char* ip, const char* firmwareFile, const UploadLimits& limits = {});

}  // namespace torvi
