#include "action/actions.h"
#include "platform/console.h"

namespace torvi {

int push_firmware(const char* ip, const char* firmwareFile) {
  (void)firmwareFile;
  if (!ip) {
    console_out("Missing arguments for action push_firmware.");
    return 2;
  }
  return 1;
}

}  // namespace torvi
