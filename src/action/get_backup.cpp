#include "action/actions.h"
#include "platform/console.h"

namespace torvi {

int get_backup(const char* ip, const char* backupFileOut, const char* backupFileOutType,
               const std::vector<std::string>* backupConfig) {
  (void)backupFileOut;
  (void)backupFileOutType;
  (void)backupConfig;
  if (!ip) {
    console_out("Missing arguments for action get_backup.");
    return 2;
  }
  return 0;
}

}  // namespace torvi
