#pragma once
// The transfers between the tool and the controller: fetches into memory
// over HTTP, two command requests, and the TFTP upload. Each creates and
// releases its own libcurl handle and blocks until it ends; none retries.

#include <cstddef>
#include <cstdint>
#include <string>

#include "link/records.h"

namespace torvi {

// The largest reply a fetch keeps: configuration archives are a few KiB and
// the status document well under one, so a controller that sends more is
// misbehaving and must not fill the workstation's memory.
constexpr std::size_t kReceiveMaxSize = 64u * 1024 * 1024;

// libcurl write callback that appends each chunk to a ReceiveBuffer. When
// memory runs out, or the reply would pass kReceiveMaxSize, the buffer is
// emptied and 0 aborts the transfer with a write error.
size_t receive_write_callback(char* chunk, size_t size, size_t count, void* buffer);

// Where an upload stands: the next byte to send and how many are left.
struct UploadCursor {
  const std::uint8_t* position = nullptr;
  std::uint64_t left = 0;
};

// libcurl read callback that hands out the bytes of an UploadCursor.
size_t upload_read_callback(char* destination, size_t size, size_t count, void* cursor);

// GETs `url` into `buffer` (cleared first), announcing it with `tag`.
// Returns 0 when the transfer completed, whatever the HTTP status, else 1.
int link_fetch(const char* tag, const char* url, ReceiveBuffer& buffer);

// Asks the controller to restore the archive uploaded just before; the
// reply is discarded. 0 when the request completed.
int backup_restore_request(const char* ip);

// Asks the controller to install the image uploaded just before, naming its
// SHA-256 digest and size; the reply is shown on standard output.
int firmware_upgrade_request(const char* ip, const std::uint8_t* digest, std::size_t size);

// Uploads the first `record.size` bytes of `record.data` to the controller
// as "flashraw.bin" over TFTP. The record is left unchanged.
int firmware_push_tftp(const char* ip, const ImageRecord& record);

// The upload's time limits in seconds (and bytes per second for the low
// speed floor). The tool always uses these values; tests pass shorter ones.
struct UploadLimits {
  long total = 420;
  long connect = 60;
  long low_speed_time = 60;
  long low_speed_limit = 30;
};
// The upload above with its time limits given.
int firmware_push_tftp(const char* ip, const ImageRecord& record, const UploadLimits& limits);

}  // namespace torvi
