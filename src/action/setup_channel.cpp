#include "action/actions.h"
#include "platform/console.h"

namespace torvi {

int setup_channel(const char* ip, const std::vector<std::uint32_t>* channels,
                  const std::vector<std::string>* channelCsvFiles,
                  const std::vector<std::string>* channelGroupsCsvFiles,
                  const std::vector<std::string>* channelInputsCsvFiles) {
  const bool csv = channelCsvFiles || channelGroupsCsvFiles;
  if (!channels || (!csv && (!channelInputsCsvFiles || !ip)) || (csv && !ip)) {
    console_out("Missing arguments for action setup_channel.");
    return 2;
  }
  if (channels->empty() || channels->front() == 0) return 0;
  return 1;
}

}  // namespace torvi
