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
#include <string_view>
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
// An import that builds its channel file from nothing applied no data row:
// sending that file would erase what the controller holds (said so).
constexpr int IMPORT_NOTHING_APPLIED = 4;

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

// A value the import did not write as the file gives it: wrapped into its
// field's width, truncated, clamped into range, cut, or dropped. A
// mistyped number would otherwise land silently on another lamp.
struct csv_note {
  std::uint32_t column;
  std::string given;    // as the file gives it; beyond kNoteGivenMax bytes cut, "..." added
  std::string written;  // what the import made of it
};

// The longest text a note quotes from the file.
constexpr std::size_t kNoteGivenMax = 40;

// One field of a data row on its way into its per-row value. The readers
// below add a note to `notes` (when there is one) for every value they
// change.
struct csv_field {
  std::uint32_t column;
  const char* text;
  std::vector<csv_note>* notes;
};

// An import's own part. `convert` gets each data field of a version-1 file
// that is not in a comment row, by column below kind.fields; `apply` gets
// every such row with exactly kind.fields fields; `reset` clears the
// per-row values after every row. A row whose fate is csv_fate::layout
// ends the import (IMPORT_STOPPED).
struct csv_rows {
  std::function<void(const csv_field& field)> convert;
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
  // kReportFieldMax bytes.
  std::span<const std::string> texts;
  // What the conversions changed, in column order; none for a comment row.
  std::span<const csv_note> notes;
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

// What an import made of a whole file, for an import that must tell a
// deliberate file from one that did nothing.
struct csv_tally {
  unsigned long rows = 0;      // as the tokenizer gave them
  unsigned long comments = 0;  // of them comment rows, version lines included
  unsigned long applied = 0;   // written into the channel record
  std::int32_t version = 0;    // as the last version line declared it
};

// Reads the file at `path`. A file that cannot be opened or read (a folder
// opens but cannot be read) gives "%s\terror opening '%s'.\r\n" and
// IMPORT_FAILED. After the last row: "%lu fields, %lu rows\n".
int csv_import(const csv_kind& kind, const char* path, const csv_rows& rows,
               const csv_read_options& options = {}, csv_tally* tally = nullptr);

// A field read as C's atoi reads it (blanks, sign, digits), without
// undefined behaviour on overflow.
std::int32_t csv_atoi(const char* text);

// One value of a JSON-valued field: a number truncated toward zero, a
// string read with csv_atoi, or null; and whether it stands directly inside
// an array. true and false come too, for the notes; containers do not.
struct csv_json_value {
  int token;  // TOKEN_NUMBER, TOKEN_STRING, TOKEN_NULL, TOKEN_TRUE or TOKEN_FALSE
  std::int32_t number;
  bool in_array;
  // The value the text stands for exactly: the number, or the integer a
  // string holds wholly; NaN for anything else.
  double exact;
  std::string text;  // as written: a number's digits, a string in quotes
};
// Hands each value of the JSON text `field` to `each`, in order, until the
// text ends or is not JSON any more. False when something other than blanks
// is left unread: the field is not wholly JSON.
bool csv_json_values(const char* field, const std::function<void(const csv_json_value&)>& each);

// Adds a note on `field`'s column.
void csv_note_change(const csv_field& field, std::string_view given, std::string written);

// Integer columns, read as atoi reads them and kept by their low 32 or 8
// bits; an 8-bit value is then clamped into low..high. A field that is not
// wholly an integer, or whose value is not the one kept, gets a note; an
// empty field is read as 0 without one.
std::uint32_t csv_read_u32(const csv_field& field);
std::uint8_t csv_read_u8(const csv_field& field, std::uint8_t low = 0, std::uint8_t high = 255);

// The short address a JSON-valued field gives: the last number (truncated)
// or string (read with atoi) or null (255, no short address) in it, by its
// low 8 bits; 0 when the field holds none of these. Anything but one value
// that is 0..63 or null gets a note.
std::uint8_t csv_read_short_address(const csv_field& field);

// Fills `out`, element 0 first, from the values directly inside arrays of
// the JSON field until `out` is full: numbers and strings by their low 8
// bits, null as `null_value`, or skipped when `null_value` is negative.
// Elements not reached keep what they held. Every value not kept as given
// gets a note.
void csv_read_bytes(const csv_field& field, std::span<std::uint8_t> out, int null_value);

// The first `width` bytes of a text field, all that a fixed field of that
// width keeps, so an enormous cell costs no memory. A text longer than the
// width - 1 characters csv_store_name keeps gets a note.
std::string csv_read_name(const csv_field& field, std::size_t width);

// Copies `name` into a fixed field of `width` bytes: NUL-filled, the last
// byte always NUL, so at most width - 1 characters remain.
void csv_store_name(std::uint8_t* field, std::size_t width, const std::string& name);

}  // namespace torvi
