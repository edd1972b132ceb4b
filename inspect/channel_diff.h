#pragma once
// Two channel files of one kind compared field by field through the
// channel file tables.

#include "channel/channel_view.h"
#include "inspect/report.h"

namespace torvi::inspect {

// Every difference, header first, then record by record in file order: a
// list of objects {"record": "header"|"channel"|"gear"|"group"|"device"|
// "instances"|"file", "index": N (null for header, channel and file),
// "field": NAME, "from": VALUE, "to": VALUE}. Fields a layout lacks appear
// as null on that side; a text field shows its bytes after its end too.
// When both files have the same layout every differing byte is in some
// change: bytes the tables do not name are reported per record as the field
// "other_bytes" with the offsets (within the record) that differ, and bytes
// outside every record as record "file" with offsets in the file. Empty
// when the files agree.
node diff_channel_files(const channel_view& a, const channel_view& b);

}  // namespace torvi::inspect
