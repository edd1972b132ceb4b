#include "site/inventory.h"

#include <csv.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>

#include "platform/file.h"

namespace torvi::site {
namespace {

constexpr std::size_t kNameMax = 64;
constexpr unsigned char kByteOrderMark[] = {0xEF, 0xBB, 0xBF};

// One row as the tokenizer gave it: its first two cells (trimmed) and
// whether any cell held more than blanks.
struct csv_row {
  unsigned long row;
  std::vector<std::string> cells;
  bool blank = true;
};

struct tokens {
  std::vector<csv_row> rows;
  std::vector<std::string> cells;
  bool blank = true;
  unsigned long row = 1;
  int last_end = 0;
};

std::string trimmed(const char* text, std::size_t length) {
  std::size_t begin = 0;
  while (begin < length && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (length > begin && (text[length - 1] == ' ' || text[length - 1] == '\t')) --length;
  return std::string(text + begin, length - begin);
}

void on_field(void* text, std::size_t length, void* data) {
  tokens& t = *static_cast<tokens*>(data);
  std::string cell = text ? trimmed(static_cast<const char*>(text), length) : std::string();
  if (!cell.empty()) t.blank = false;
  // Only the name and the address are read; further columns are notes.
  if (t.cells.size() < 2) t.cells.push_back(std::move(cell));
}

// Every unquoted line end ends a row, so blank lines are counted and the
// row numbers are a spreadsheet's; the LF of a CRLF ends nothing more.
void on_row(int end, void* data) {
  tokens& t = *static_cast<tokens*>(data);
  const bool lf_of_crlf = t.cells.empty() && end == '\n' && t.last_end == '\r';
  t.last_end = end;
  if (lf_of_crlf) return;
  t.rows.push_back({t.row++, std::move(t.cells), t.blank});
  t.cells.clear();
  t.blank = true;
}

// Tokenises `text` with `separator`; false with the row of a malformed one.
bool tokenise(std::string_view text, unsigned char separator, tokens& t, unsigned long& bad_row) {
  csv_parser parser;
  if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI | CSV_REPALL_NL | CSV_APPEND_NULL) != 0) {
    bad_row = 0;
    return false;
  }
  csv_set_delim(&parser, separator);
  const bool ok =
      csv_parse(&parser, text.data(), text.size(), on_field, on_row, &t) == text.size() &&
      csv_fini(&parser, on_field, on_row, &t) == 0;
  csv_free(&parser);
  if (!ok) bad_row = t.row;
  return ok;
}

bool skipped(const csv_row& row) {
  return row.blank || (!row.cells.empty() && row.cells[0].starts_with("#"));
}

// The first row that is neither blank nor a comment.
const csv_row* heading_of(const tokens& t) {
  for (const csv_row& row : t.rows) {
    if (!skipped(row)) return &row;
  }
  return nullptr;
}

bool is_heading(const csv_row* row) {
  return row && row->cells.size() == 2 && inventory_fold(row->cells[0]) == "name" &&
         inventory_fold(row->cells[1]) == "address";
}

bool is_device_name(const std::string& name) {
  // Windows takes these (with any extension) for devices, not folders.
  std::string base = inventory_fold(name.substr(0, name.find('.')));
  static const char* const kDevices[] = {"con", "prn", "aux", "nul"};
  for (const char* device : kDevices) {
    if (base == device) return true;
  }
  return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) &&
         base[3] >= '0' && base[3] <= '9';
}

}  // namespace

std::string inventory_fold(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string inventory_name_fault(const std::string& name) {
  if (name.empty()) return "the name is empty";
  if (name.size() > kNameMax) return "name '" + name + "' is longer than 64 characters";
  for (char c : name) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    if (!allowed) {
      return "name '" + name + "' holds '" + std::string(1, c) +
             "': a name takes letters, digits, '-', '_' and '.'";
    }
  }
  if (name.front() == '.') return "name '" + name + "' starts with '.'";
  // Windows drops a trailing dot from a folder's name.
  if (name.back() == '.') return "name '" + name + "' ends with '.'";
  if (is_device_name(name)) return "name '" + name + "' is a device on Windows, not a folder";
  return {};
}

std::string inventory_address_fault(const std::string& address) {
  if (address.empty()) return "the address is empty";
  const std::string shape = "address '" + address + "' is not HOST or HOST:PORT";
  std::string host = address;
  std::string port;
  if (address.front() == '[') {
    // An IPv6 literal, as URLs write it.
    const std::size_t close = address.find(']');
    if (close == std::string::npos || close == 1) return shape;
    if (address.find_first_not_of("0123456789abcdefABCDEF:.", 1) != close) return shape;
    if (close + 1 < address.size()) {
      if (address[close + 1] != ':') return shape;
      port = address.substr(close + 2);
      if (port.empty()) return shape;
    }
  } else {
    const std::size_t colon = address.find(':');
    if (colon != std::string::npos) {
      host = address.substr(0, colon);
      port = address.substr(colon + 1);
      if (port.empty()) return shape;
    }
    // The address goes into URLs as it is: anything but a host name's
    // characters could change what they ask for.
    if (host.empty() || host.size() > 253 ||
        host.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_") !=
            std::string::npos) {
      return shape;
    }
  }
  if (!port.empty()) {
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return shape;
    const unsigned long number = std::stoul(port);
    if (number == 0 || number > 65535) return "port " + port + " is not 1 to 65535";
  }
  return {};
}

void inventory_parse(const std::vector<std::uint8_t>& bytes,
                     std::vector<site_controller>& controllers,
                     std::vector<inventory_fault>& faults) {
  controllers.clear();
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (text.size() >= 3 && std::memcmp(text.data(), kByteOrderMark, 3) == 0) text.remove_prefix(3);

  // The heading row decides the separator: read with commas first, then
  // with semicolons.
  tokens t;
  unsigned long bad_row = 0;
  bool well_formed = tokenise(text, ',', t, bad_row);
  if (!well_formed || !is_heading(heading_of(t))) {
    tokens other;
    unsigned long other_bad = 0;
    const bool other_formed = tokenise(text, ';', other, other_bad);
    if (other_formed && is_heading(heading_of(other))) {
      t = std::move(other);
      well_formed = true;
    }
  }
  if (!well_formed) {
    faults.push_back({bad_row, "a quote is not closed, or a quoted cell goes on after it"});
    return;
  }
  const csv_row* heading = heading_of(t);
  if (!heading) {
    faults.push_back({0, "no heading row (name, address)"});
    return;
  }
  if (!is_heading(heading)) {
    faults.push_back({heading->row, "the heading row must start with the cells name and address"});
    return;
  }

  std::map<std::string, unsigned long> names;
  std::map<std::string, unsigned long> addresses;
  std::vector<site_controller> found;
  for (const csv_row& row : t.rows) {
    if (row.row <= heading->row || skipped(row)) continue;
    if (row.cells.size() < 2) {
      faults.push_back({row.row, "a row needs a name and an address"});
      continue;
    }
    const std::string& name = row.cells[0];
    const std::string& address = row.cells[1];
    bool good = true;
    for (const std::string& fault :
         {inventory_name_fault(name), inventory_address_fault(address)}) {
      if (!fault.empty()) {
        faults.push_back({row.row, fault});
        good = false;
      }
    }
    if (!good) continue;
    const auto [named, fresh_name] = names.emplace(inventory_fold(name), row.row);
    if (!fresh_name) {
      faults.push_back(
          {row.row, "name '" + name + "' is already on row " + std::to_string(named->second)});
    }
    const auto [placed, fresh_address] = addresses.emplace(inventory_fold(address), row.row);
    if (!fresh_address) {
      faults.push_back({row.row, "address '" + address + "' is already on row " +
                                     std::to_string(placed->second)});
    }
    if (fresh_name && fresh_address) found.push_back({name, address, row.row});
  }
  if (faults.empty() && found.empty()) faults.push_back({0, "the file names no controller"});
  if (faults.empty()) controllers = std::move(found);
}

void inventory_read(const std::string& path, std::vector<site_controller>& controllers,
                    std::vector<inventory_fault>& faults) {
  std::vector<std::uint8_t> bytes;
  if (!platform_read_file(path, bytes, kInventoryMaxSize)) {
    controllers.clear();
    std::error_code error;
    faults.push_back({0, !std::filesystem::exists(path, error) ? "no such file"
                         : std::filesystem::is_directory(path, error)
                             ? "is a folder"
                             : "cannot be read, or is larger than 4 MiB"});
    return;
  }
  inventory_parse(bytes, controllers, faults);
}

}  // namespace torvi::site
