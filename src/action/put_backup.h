#pragma once
// The part of put_backup that walks a ZIP backup, apart from the network,
// so it can be driven with any push step.

#include <cstdint>
#include <functional>
#include <span>

#include "action/actions.h"
#include "backup/backup_zip.h"

namespace torvi {

// Uploads one finished one-member tar and has the controller restore it;
// 0 when both went through.
using backup_push_step = std::function<int(std::span<const std::uint8_t> archive)>;

// Converts each configuration of the backup `zip` for a controller running
// `firmware_version` (null when its status named none), wraps it in its
// one-member tar and hands that to `push`, in the archive's order, printing
// put_backup's lines. The result is that of the last entry that got as far
// as the conversion. `report`, when given, counts the entries the restore
// table names and those pushed.
int put_backup_restore_zip(const char* firmware_version, const backup_zip_reader& zip,
                           const backup_push_step& push, put_backup_report* report = nullptr);

}  // namespace torvi
