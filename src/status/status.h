#pragma once
// The controller's status document and the record it is read into.

#include <optional>
#include <string>

#include "link/records.h"

namespace torvi {

// The status document's string members, each as the controller sent it
// (numbers included); absent when the member did not come.
struct StatusRecord {
  std::optional<std::string> model_name;
  std::optional<std::string> firmware_version;
  std::optional<std::string> build_date;
  std::optional<std::string> license;
  std::optional<std::string> license_number;
  std::optional<std::string> hostname;
  std::optional<std::string> serial_number;
  std::optional<std::string> mac;
  std::optional<std::string> rtc_temperature;
  std::optional<std::string> ram_memory;
  std::optional<std::string> flash_memory;
  std::optional<std::string> boot_count;
  std::optional<std::string> time;
  std::optional<std::string> uptime;
  std::optional<std::string> dali_channel_1;
  std::optional<std::string> dali_channel_2;
  std::optional<std::string> dali_channel_3;
  std::optional<std::string> dali_channel_4;
  std::optional<std::string> ip;
  std::optional<std::string> bacnet_ip;
  std::optional<std::string> session_id;
  std::optional<std::string> username;
};

// Fetches the status document from the controller at `address` and reads
// it into `record` (emptied first). 0 when it held a "model_name" string.
int status_fetch(const char* address, StatusRecord* record);

// Reads a received status document into `record`. Names and values are
// paired by string tokens alone; a reply that is not well-formed JSON is
// read up to the error; a value that cannot be copied for want of memory is
// dropped. 0 when a "model_name" string was stored, else 1.
int status_parse(const ReceiveBuffer& reply, StatusRecord& record);

// Empties every field; 1 when no record is given, else 0.
int status_free(StatusRecord* record);

}  // namespace torvi
