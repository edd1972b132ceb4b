#include <utility>

#include "action/actions.h"
#include "platform/console.h"
#include "status/status.h"

namespace torvi {

int get_status(const char* ip, StatusRecord* kept) {
  if (!ip) {
    console_out("Missing arguments for action get_status.");
    return 2;
  }
  StatusRecord record;
  int result = status_fetch(ip, &record);
  if (result == 0) console_out("model_name=%s\r\n", record.model_name->c_str());
  if (kept) {
    *kept = std::move(record);
  } else {
    status_free(&record);
  }
  return result;
}

}  // namespace torvi
