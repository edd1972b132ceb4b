#pragma once
// The commissioning report: what one controller, or every controller of a
// site, was set up with, taken from their ZIP backups and written as one
// self-contained HTML page that a person reads on screen or prints at
// handover. The page carries its own style, runs no script, loads nothing
// and links only within itself; every text taken from a backup is escaped.

#include <cstddef>
#include <string>
#include <vector>

namespace torvi {

struct report_options {
  std::string title = "Commissioning report";
  // When the report was made, as the page shows it; empty: the local time now.
  std::string made;
};

// One backup as the page shows it.
struct report_backup {
  std::string path;
  std::size_t findings = 0;
  std::string error;  // why the backup could not be read; empty when it could
};

struct report_page {
  std::string html;
  // Over all backups: every problem a restore would meet, every channel file
  // whose header does not hold, and one for each backup that cannot be read.
  std::size_t findings = 0;
  std::vector<report_backup> backups;  // in the order given
};

// The page for the ZIP backups at `backup_paths`, one section each in the
// order given. A backup that cannot be read gets a section with that
// finding. Only the backups are read; nothing is written.
report_page report_html(const std::vector<std::string>& backup_paths,
                        const report_options& options);

}  // namespace torvi
