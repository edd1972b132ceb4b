#pragma once
// The inventory: the site's controllers as a CSV file a spreadsheet saves,
// a heading row starting with the cells "name" and "address", then one
// controller a row.

#include <cstdint>
#include <string>
#include <vector>

namespace torvi::site {

struct site_controller {
  std::string name;     // names the controller's folder, so unique ignoring case
  std::string address;  // HOST or HOST:PORT, as torvi-cli's --ip takes it
  unsigned long row = 0;
};

// Something wrong with the file: `row` as a spreadsheet numbers it (blank
// rows counted), 0 for the file as a whole.
struct inventory_fault {
  unsigned long row = 0;
  std::string reason;
};

// The largest inventory read: some thousand controllers take a few hundred
// KiB, so a bigger file is not an inventory.
constexpr std::size_t kInventoryMaxSize = 4u << 20;

// Reads the inventory held in `bytes`: a UTF-8 byte order mark is skipped,
// rows end in CRLF or LF, the heading row decides whether cells are parted
// by commas or semicolons, rows whose first cell starts with "#" and blank
// rows are skipped, columns after the second are ignored. Every fault is
// collected; `controllers` is left empty when there is any.
void inventory_parse(const std::vector<std::uint8_t>& bytes,
                     std::vector<site_controller>& controllers,
                     std::vector<inventory_fault>& faults);

// The same for the file at `path`; a file that cannot be read is one fault
// of row 0.
void inventory_read(const std::string& path, std::vector<site_controller>& controllers,
                    std::vector<inventory_fault>& faults);

// Why `name` cannot name a controller; empty when it can.
std::string inventory_name_fault(const std::string& name);
// Why `address` cannot be a controller's address; empty when it can.
std::string inventory_address_fault(const std::string& address);

// `text` in lower case (ASCII letters only), as names and addresses are
// compared.
std::string inventory_fold(std::string text);

}  // namespace torvi::site
