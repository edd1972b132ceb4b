#include "status/status.h"

#include <cstring>
#include <new>

#include "json/json_parser.h"
#include "link/transfers.h"
#include "platform/console.h"

namespace torvi {
namespace {

struct Member {
  const char* name;
  std::optional<std::string> StatusRecord::*field;
};

// The members taken from the document, in the record's order.
constexpr Member kMembers[] = {
    {"model_name", &StatusRecord::model_name},
    {"firmware_version", &StatusRecord::firmware_version},
    {"build_date", &StatusRecord::build_date},
    {"license", &StatusRecord::license},
    {"license_number", &StatusRecord::license_number},
    {"hostname", &StatusRecord::hostname},
    {"serial_number", &StatusRecord::serial_number},
    {"mac", &StatusRecord::mac},
    {"rtc_temperature", &StatusRecord::rtc_temperature},
    {"ram_memory", &StatusRecord::ram_memory},
    {"flash_memory", &StatusRecord::flash_memory},
    {"boot_count", &StatusRecord::boot_count},
    {"time", &StatusRecord::time},
    {"uptime", &StatusRecord::uptime},
    {"dali_channel_1", &StatusRecord::dali_channel_1},
    {"dali_channel_2", &StatusRecord::dali_channel_2},
    {"dali_channel_3", &StatusRecord::dali_channel_3},
    {"dali_channel_4", &StatusRecord::dali_channel_4},
    {"ip", &StatusRecord::ip},
    {"bacnet_ip", &StatusRecord::bacnet_ip},
    {"session_id", &StatusRecord::session_id},
    {"username", &StatusRecord::username},
};

// Copies a member's value into its field. Out of memory the value is
// dropped and an earlier value of the same member stays; false then.
bool store_value(std::optional<std::string>& field, const char* text) {
  try {
    field = text;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace

int status_parse(const ReceiveBuffer& reply, StatusRecord& record) {
  // The document is a text: anything after a NUL byte is not part of it.
  const void* nul =
      reply.data.empty() ? nullptr : std::memchr(reply.data.data(), 0, reply.data.size());
  size_t length =
      nul ? static_cast<size_t>(static_cast<const std::uint8_t*>(nul) - reply.data.data())
          : reply.data.size();
  JsonParser parser{};
  jp_open_buffer(parser, reply.data.data(), length);
  int result = 1;
  bool inside = false;
  // A pending name is only ever compared with the members' names, so it is
  // kept as the member it names (null for any other name), not as a copy.
  bool name_pending = false;
  const Member* pending = nullptr;
  for (;;) {
    int token = jp_next(parser);
    if (token == TOKEN_DONE || token == TOKEN_ERROR) break;
    if (token == TOKEN_OBJECT_BEGIN || token == TOKEN_OBJECT_END) {
      name_pending = false;
      inside = token == TOKEN_OBJECT_BEGIN;
    } else if (token == TOKEN_STRING && inside) {
      const char* text = jp_get_string(parser);
      if (!name_pending) {
        name_pending = true;
        pending = nullptr;
        for (const Member& m : kMembers) {
          if (std::strcmp(text, m.name) == 0) pending = &m;
        }
        continue;
      }
      // get_status prints the model name, so only a stored one counts.
      if (pending && store_value(record.*pending->field, text) &&
          pending->field == &StatusRecord::model_name) {
        result = 0;
      }
      name_pending = false;
    }
  }
  jp_close(parser);
  return result;
}

int status_free(StatusRecord* record) {
  if (!record) return 1;
  *record = StatusRecord{};
  return 0;
}

int status_fetch(const char* address, StatusRecord* record) {
  if (!address || !record) return 1;
  status_free(record);
  std::string url;
  if (format_text(url, "%s/api/v100/status.ssi", address) < 0) return 1;
  ReceiveBuffer reply;
  if (link_fetch("status", url.c_str(), reply) != 0) return 1;
  return status_parse(reply, *record);
}

}  // namespace torvi
