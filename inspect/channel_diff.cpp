#include "inspect/channel_diff.h"

namespace torvi::inspect {

node diff_channel_files(const channel_view&, const channel_view&) { return list_node(); }

}  // namespace torvi::inspect
