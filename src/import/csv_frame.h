#pragma once
// The one way the tool reads a CSV file prepared by the user: libcsv with
// its default comma and double quote, every field NUL-terminated, the file
// in chunks of 1024 bytes. A field beginning with "#" makes its row a
// comment row; a comment field holding the kind's version prefix declares
// the file's version, and only version 1 is read. Each import supplies its
// column conversions and its row application; the frame counts, checks the
// field count and resets.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace torvi {

// Results of an import.
constexpr int IMPORT_OK = 0;
// Nothing was imported: the file could not be opened (said so), or the
// tokenizer could not be set up.
constexpr int IMPORT_FAILED = 1;
// A row ended the import and the action with it (the row said why).
constexpr int IMPORT_STOPPED = 2;
// The tokenizer failed (said so on standard error): the run ends with exit
// status 1 and nothing more is sent.
constexpr int IMPORT_PARSE_ERROR = 3;

// What one kind of CSV file is.
struct csv_kind {
  const char* tag;             // message tag: "importcsv", "importcsv_cd", "importcsv_groups"
  const char* version_prefix;  // e.g. "#dali-channel-csv-version: "
  std::uint32_t fields;        // a data row has exactly this many
};

// What became of one row of a CSV file, for a caller that reports it.
enum class csv_fate : std::uint8_t {
  applied,        // written into the channel record
  comment,        // a field began with "#" (a version line is one too)
  no_version,     // no version line came before it
  wrong_version,  // the version line declared another version than 1
  field_count,    // not exactly the kind's number of fields
  index_range,    // the entry, device or group index is beyond the file
  no_firmware,    // the controller's firmware version is not known
  layout,         // the controller's layout cannot take the row: the import ends
  not_reached,    // after an import had ended
};

// An import's verdict on a row that has the right shape, and the index of
// the entry, device or group it names.
struct csv_applied {
  csv_fate fate;
  std::uint32_t index;
};

// An import's own part. `convert` gets each data field of a version-1 file
// that is not in a comment row, by column below kind.fields; `apply` gets
// every such row with exactly kind.fields fields; `reset` clears the
// per-row values after every row. A row whose fate is csv_fate::layout
// ends the import (IMPORT_STOPPED).
struct csv_rows {
  std::function<void(std::uint32_t column, const char* field)> convert;
  std::function<csv_applied()> apply;
  std::function<void()> reset;
};

// The longest field text a report carries; the import itself keeps no more
// of a field than its widest column takes.
constexpr std::size_t kReportFieldMax = 256;

// One row as a report sees it, right after the import has dealt with it.
struct csv_row_report {
  unsigned long row;  // 1 for the first row the tokenizer gave
  std::uint32_t fields;
  csv_fate fate;
  std::int32_t version;  // as declared when the row ended
  std::uint32_t index;   // for applied and index_range rows
  // The row's first fields (as many as the kind takes), each cut to
  // kReportFieldMax bytes, with the length it really had.
  std::span<const std::string> texts;
  std::span<const std::size_t> lengths;
};

// A caller that wants each row's fate instead of the import's console
// lines. With one, the import prints nothing: the file that does not open,
// the tokenizer's error and the summary line are left to the caller, and a
// row that ends the import leaves the rest reported as not_reached.
struct csv_observer {
  std::function<void(const csv_row_report&)> row;
  // The tokenizer failed in row `row` (counted as above) for `reason`.
  std::function<void(unsigned long row, const char* reason)> parse_error;
};

// How the tokenizer gets its memory: null for libcsv's own realloc. Tests
// hand in one that refuses, to reach the tokenizer's error.
struct csv_read_options {
  void* (*reallocate)(void* block, std::size_t size) = nullptr;
  const csv_observer* observer = nullptr;
};

// Reads the file at `path`. A file that cannot be opened gives
// "%s\terror opening '%s'.\r\n" and IMPORT_FAILED. After the last row:
// "%lu fields, %lu rows\n".
int csv_import(const csv_kind& kind, const char* path, const csv_rows& rows,
               const csv_read_options& options = {});

// A field read as C's atoi reads it (blanks, sign, digits), without
// undefined behaviour on overflow.
std::int32_t csv_atoi(const char* text);

// One value of a JSON-valued field: a number truncated toward zero, a
// string read with csv_atoi, or null; and whether it stands directly inside
// an array. true, false and containers are not values here.
struct csv_json_value {
  bool null;
  std::int32_t number;
  bool in_array;
};
// Hands each value of the JSON text `field` to `each`, in order, until the
// text ends or is not JSON any more.
void csv_json_values(const char* field, const std::function<void(const csv_json_value&)>& each);

// The short address a JSON-valued field gives: the last number (truncated)
// or string (read with atoi) or null (255, no short address) in it, by its
// low 8 bits; 0 when the field holds none of these.
std::uint8_t csv_short_address(const char* field);

// Fills `out`, element 0 first, from the values directly inside arrays of
// the JSON field until `out` is full: numbers and strings by their low 8
// bits, null as `null_value`, or skipped when `null_value` is negative.
// Elements not reached keep what they held.
void csv_byte_array(const char* field, std::span<std::uint8_t> out, int null_value);

// The first `width` bytes of a text field, all that a fixed field of that
// width keeps, so an enormous cell costs no memory.
std::string csv_text(const char* field, std::size_t width);

// Copies `name` into a fixed field of `width` bytes: NUL-filled, the last
// byte always NUL, so at most width - 1 characters remain.
void csv_store_name(std::uint8_t* field, std::size_t width, const std::string& name);

}  // namespace torvi
