#include "import/csv_frame.h"

#include <csv.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "json/json_parser.h"
#include "platform/console.h"
#include "platform/file.h"

namespace torvi {
namespace {

constexpr std::size_t kChunk = 1024;
// Spreadsheets saving "CSV UTF-8" start the file with a byte order mark,
// which would hide the "#" of the version line.
constexpr unsigned char kByteOrderMark[] = {0xEF, 0xBB, 0xBF};

struct frame {
  const csv_kind& kind;
  const csv_rows& rows;
  const csv_observer* observer;
  std::uint32_t column = 0;
  unsigned long fields_read = 0;
  unsigned long rows_read = 0;
  bool comment = false;
  std::int32_t version = 0;
  bool stopped = false;
  unsigned long comments = 0;
  unsigned long applied = 0;
  // The row's fields as a report shows them (only with an observer).
  std::vector<std::string> texts;
  std::vector<csv_note> notes;
};

void on_field(void* text, std::size_t length, void* data) {
  frame& f = *static_cast<frame*>(data);
  ++f.fields_read;
  const char* field = text ? static_cast<const char*>(text) : "";
  if (f.observer && f.column < f.kind.fields) {
    f.texts.emplace_back(field, std::min(length, kReportFieldMax));
  }
  if (f.stopped) {
    // An ended import reads nothing more.
  } else if (field[0] == '#') {
    f.comment = true;
    if (std::strstr(field, f.kind.version_prefix)) {
      f.version = csv_atoi(field + std::strlen(f.kind.version_prefix));
    }
  } else if (!f.comment && f.version == 1 && f.column < f.kind.fields) {
    // Only a caller that hears of the rows hears of the notes.
    f.rows.convert({f.column, field, f.observer ? &f.notes : nullptr});
  }
  ++f.column;
}

// The fate of a row the import has ended with, before any apply.
csv_fate shape_fate(const frame& f) {
  if (f.stopped) return csv_fate::not_reached;
  if (f.comment) return csv_fate::comment;
  if (f.version == 0) return csv_fate::no_version;
  if (f.version != 1) return csv_fate::wrong_version;
  if (f.column != f.kind.fields) return csv_fate::field_count;
  return csv_fate::applied;
}

void on_row(int, void* data) {
  frame& f = *static_cast<frame*>(data);
  ++f.rows_read;
  csv_applied verdict{shape_fate(f), 0};
  const std::uint32_t fields = f.column;
  if (verdict.fate == csv_fate::applied) {
    verdict = f.rows.apply();
    if (verdict.fate == csv_fate::layout) f.stopped = true;
    if (verdict.fate == csv_fate::applied) ++f.applied;
  }
  // A "#" late in a row makes it a comment after its first fields were
  // converted: nothing of it is written, so nothing of it was changed.
  if (f.comment) {
    ++f.comments;
    f.notes.clear();
  }
  if (f.observer) {
    f.observer->row(
        {f.rows_read, fields, verdict.fate, f.version, verdict.index, f.texts, f.notes});
    f.texts.clear();
  }
  f.notes.clear();
  f.rows.reset();
  f.comment = false;
  f.column = 0;
}

struct parser_owner {
  csv_parser* parser;
  ~parser_owner() { csv_free(parser); }
};

}  // namespace

std::int32_t csv_atoi(const char* text) {
  return static_cast<std::int32_t>(std::strtoll(text, nullptr, 10));
}

namespace {

bool blank(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  return *text == '\0';
}

// The integer `text` holds and nothing else (blanks around it aside);
// nothing when it holds something else or more than 64 bits take.
std::optional<long long> whole_integer(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (end == text || errno == ERANGE || !blank(end)) return std::nullopt;
  return value;
}

// A note on an integer field that was not kept as the number it gives.
void note_integer(const csv_field& field, std::uint32_t written) {
  if (blank(field.text)) return;
  const std::optional<long long> given = whole_integer(field.text);
  if (!given || *given != static_cast<long long>(written)) {
    csv_note_change(field, field.text, std::to_string(written));
  }
}

}  // namespace

void csv_note_change(const csv_field& field, std::string_view given, std::string written) {
  if (!field.notes) return;
  std::string shown(given.substr(0, kNoteGivenMax));
  if (given.size() > kNoteGivenMax) shown += "...";
  field.notes->push_back({field.column, std::move(shown), std::move(written)});
}

bool csv_json_values(const char* field, const std::function<void(const csv_json_value&)>& each) {
  JsonParser parser{};
  jp_open_string(parser, field);
  int token;
  for (;;) {
    token = jp_next(parser);
    if (token == TOKEN_ERROR || token == TOKEN_DONE) break;
    if (token != TOKEN_NUMBER && token != TOKEN_STRING && token != TOKEN_NULL &&
        token != TOKEN_TRUE && token != TOKEN_FALSE) {
      continue;
    }
    const bool in_array =
        parser.top != JSON_NO_CONTAINER && parser.stack[parser.top].kind == TOKEN_ARRAY_BEGIN;
    csv_json_value value{token, 0, in_array, std::nan(""), {}};
    if (token == TOKEN_NUMBER) {
      value.exact = jp_get_number(parser);
      value.number = jp_truncate(value.exact);
      value.text = jp_get_string(parser);
    } else if (token == TOKEN_STRING) {
      const char* text = jp_get_string(parser);
      value.number = csv_atoi(text);
      if (const auto whole = whole_integer(text)) value.exact = static_cast<double>(*whole);
      value.text = std::string("\"") + text + "\"";
    } else {
      value.text = token == TOKEN_NULL ? "null" : token == TOKEN_TRUE ? "true" : "false";
    }
    each(value);
  }
  const bool whole = token == TOKEN_DONE && blank(field + jp_get_position(parser));
  jp_close(parser);
  return whole;
}

std::uint32_t csv_read_u32(const csv_field& field) {
  const auto value = static_cast<std::uint32_t>(csv_atoi(field.text));
  note_integer(field, value);
  return value;
}

std::uint8_t csv_read_u8(const csv_field& field, std::uint8_t low, std::uint8_t high) {
  const auto value = std::clamp(static_cast<std::uint8_t>(csv_atoi(field.text)), low, high);
  note_integer(field, value);
  return value;
}

std::uint8_t csv_read_short_address(const csv_field& field) {
  std::int32_t address = 0;
  std::size_t values = 0;
  bool as_given = false;
  const bool whole = csv_json_values(field.text, [&](const csv_json_value& v) {
    ++values;
    if (v.token == TOKEN_TRUE || v.token == TOKEN_FALSE) return;
    address = v.token == TOKEN_NULL ? 255 : v.number;
    as_given = v.token == TOKEN_NULL || (v.exact >= 0 && v.exact <= 254 && v.exact == v.number);
  });
  const auto result = static_cast<std::uint8_t>(address);
  // The field is meant to hold one value: 0..63, or null for none.
  if (blank(field.text) || (whole && values == 1 && as_given)) return result;
  csv_note_change(field, field.text,
                  result == 255  ? "255: no short address"
                  : result <= 63 ? std::to_string(result)
                                 : std::to_string(result) + ": address byte left as it was");
  return result;
}

void csv_read_bytes(const csv_field& field, std::span<std::uint8_t> out, int null_value) {
  std::size_t next = 0, beyond = 0;
  const bool whole = csv_json_values(field.text, [&](const csv_json_value& v) {
    if (!v.in_array) {
      csv_note_change(field, v.text, "ignored: not inside an array");
    } else if (v.token == TOKEN_TRUE || v.token == TOKEN_FALSE ||
               (v.token == TOKEN_NULL && null_value < 0)) {
      csv_note_change(field, v.text, "skipped");
    } else if (next == out.size()) {
      ++beyond;
    } else {
      const auto byte = static_cast<std::uint8_t>(v.token == TOKEN_NULL ? null_value : v.number);
      out[next++] = byte;
      if (v.token != TOKEN_NULL && v.exact != byte) {
        csv_note_change(field, v.text, std::to_string(byte));
      }
    }
  });
  if (beyond) {
    csv_note_change(field, std::to_string(next + beyond) + " values",
                    "the first " + std::to_string(next) + " kept");
  }
  if (!whole) {
    // What the field still gave before the text stopped being JSON.
    std::string taken = "[";
    for (std::size_t k = 0; k < next; ++k) taken += (k ? "," : "") + std::to_string(out[k]);
    csv_note_change(field, field.text, taken + "]");
  }
}

std::string csv_read_name(const csv_field& field, std::size_t width) {
  std::string name(field.text, strnlen(field.text, width));
  if (name.size() == width) csv_note_change(field, field.text, name.substr(0, width - 1));
  return name;
}

void csv_store_name(std::uint8_t* field, std::size_t width, const std::string& name) {
  const std::size_t n = std::min(std::strlen(name.c_str()), width);
  std::memcpy(field, name.data(), n);
  std::memset(field + n, 0, width - n);
  field[width - 1] = 0;
}

namespace {

// import_stream's result for a file that opened but cannot be read.
constexpr int kReadError = -1;

// Reads an open file from where it stands to its end.
int import_stream(const csv_kind& kind, std::FILE* file, const csv_rows& rows,
                  const csv_read_options& options, csv_tally* tally) {
  csv_parser parser;
  if (csv_init(&parser, 0) != 0) return IMPORT_FAILED;
  parser_owner owner{&parser};
  csv_set_opts(&parser, CSV_APPEND_NULL);
  if (options.reallocate) csv_set_realloc_func(&parser, options.reallocate);

  frame f{kind, rows, options.observer};
  unsigned char chunk[kChunk];
  bool first = true;
  for (;;) {
    std::size_t n = std::fread(chunk, 1, sizeof chunk, file);
    // A folder opens like a file on some systems and fails only here.
    if (std::ferror(file)) return kReadError;
    if (n == 0) break;
    const unsigned char* start = chunk;
    if (first && n >= sizeof kByteOrderMark &&
        std::memcmp(chunk, kByteOrderMark, sizeof kByteOrderMark) == 0) {
      start += sizeof kByteOrderMark;
      n -= sizeof kByteOrderMark;
    }
    first = false;
    if (csv_parse(&parser, start, n, on_field, on_row, &f) != n) {
      const char* reason = csv_strerror(csv_error(&parser));
      if (f.observer) {
        f.observer->parse_error(f.rows_read + 1, reason);
      } else {
        console_err("Error while parsing file: %s\n", reason);
      }
      return IMPORT_PARSE_ERROR;
    }
    if (f.stopped && !f.observer) return IMPORT_STOPPED;
  }
  csv_fini(&parser, on_field, on_row, &f);
  if (tally) *tally = {f.rows_read, f.comments, f.applied, f.version};
  if (f.stopped) return IMPORT_STOPPED;
  if (!f.observer) console_out("%lu fields, %lu rows\n", f.fields_read, f.rows_read);
  return IMPORT_OK;
}

}  // namespace

int csv_import(const csv_kind& kind, const char* path, const csv_rows& rows,
               const csv_read_options& options, csv_tally* tally) {
  unique_file file = path ? file_open(path, "rb") : nullptr;
  const int result = file ? import_stream(kind, file.get(), rows, options, tally) : kReadError;
  if (result != kReadError) return result;
  if (!options.observer) {
    console_out("%s\terror opening '%s'.\r\n", kind.tag, path ? path : "(null)");
  }
  return IMPORT_FAILED;
}

}  // namespace torvi
