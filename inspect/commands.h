#pragma once
// What the commands share: the parts of `show` that live in files of their
// own, and writing a report in the form asked for.

#include "inspect/report.h"
#include "inspect/sources.h"

namespace torvi::inspect {

// The report of a firmware package or raw image: the package checks in
// the order push_firmware makes them, the information block, and whether
// push_firmware would accept the file. EXIT_GOOD when it would, EXIT_PROBLEM
// when it would refuse it. Nothing is sent anywhere.
int show_firmware(const source_file& file, node& report);

// What a restore of the source would do otherwise than it looks, one row
// each ("entry" only for a ZIP backup, "member", "problem").
node problems_node(const backup_contents& contents, bool entries);

// Writes `report` to standard output as text or as JSON.
void write_report(const node& report, bool json);

}  // namespace torvi::inspect
