#include "action/actions.h"
#include "platform/console.h"

namespace torvi {

int put_backup(const char* ip, const char* backupFileIn) {
  (void)backupFileIn;
  if (!ip) {
    console_out("Missing arguments for action put_backup.");
    return 2;
  }
  return 1;
}

}  // namespace torvi
