#include "action/actions.h"
#include "platform/console.h"

namespace torvi {

int get_status(const char* ip) {
  if (!ip) {
    console_out("Missing arguments for action get_status.");
    return 2;
  }
  return 1;
}

}  // namespace torvi
