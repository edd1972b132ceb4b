#include "import/csv_frame.h"

#include <csv.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
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
  // The row's fields as a report shows them (only with an observer).
  std::vector<std::string> texts;
  std::vector<std::size_t> lengths;
};

void on_field(void* text, std::size_t length, void* data) {
  frame& f = *static_cast<frame*>(data);
  ++f.fields_read;
  const char* field = text ? static_cast<const char*>(text) : "";
  if (f.observer && f.column < f.kind.fields) {
    f.texts.emplace_back(field, std::min(length, kReportFieldMax));
    f.lengths.push_back(length);
  }
  if (f.stopped) {
    // An ended import reads nothing more.
  } else if (field[0] == '#') {
    f.comment = true;
    if (std::strstr(field, f.kind.version_prefix)) {
      f.version = csv_atoi(field + std::strlen(f.kind.version_prefix));
    }
  } else if (!f.comment && f.version == 1 && f.column < f.kind.fields) {
    f.rows.convert(f.column, field);
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
  }
  if (f.observer) {
    f.observer->row(
        {f.rows_read, fields, verdict.fate, f.version, verdict.index, f.texts, f.lengths});
    f.texts.clear();
    f.lengths.clear();
  }
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

void csv_json_values(const char* field, const std::function<void(const csv_json_value&)>& each) {
  JsonParser parser{};
  jp_open_string(parser, field);
  for (;;) {
    const int token = jp_next(parser);
    if (token == TOKEN_ERROR || token == TOKEN_DONE) break;
    if (token != TOKEN_NUMBER && token != TOKEN_STRING && token != TOKEN_NULL) continue;
    const bool in_array =
        parser.top != JSON_NO_CONTAINER && parser.stack[parser.top].kind == TOKEN_ARRAY_BEGIN;
    csv_json_value value{token == TOKEN_NULL, 0, in_array};
    if (token == TOKEN_NUMBER) value.number = jp_truncate(jp_get_number(parser));
    if (token == TOKEN_STRING) value.number = csv_atoi(jp_get_string(parser));
    each(value);
  }
  jp_close(parser);
}

std::uint8_t csv_short_address(const char* field) {
  std::int32_t address = 0;
  csv_json_values(field, [&](const csv_json_value& v) { address = v.null ? 255 : v.number; });
  return static_cast<std::uint8_t>(address);
}

void csv_byte_array(const char* field, std::span<std::uint8_t> out, int null_value) {
  std::size_t next = 0;
  csv_json_values(field, [&](const csv_json_value& v) {
    if (!v.in_array || next == out.size() || (v.null && null_value < 0)) return;
    out[next++] = static_cast<std::uint8_t>(v.null ? null_value : v.number);
  });
}

std::string csv_text(const char* field, std::size_t width) {
  return std::string(field, strnlen(field, width));
}

void csv_store_name(std::uint8_t* field, std::size_t width, const std::string& name) {
  const std::size_t n = std::min(std::strlen(name.c_str()), width);
  std::memcpy(field, name.data(), n);
  std::memset(field + n, 0, width - n);
  field[width - 1] = 0;
}

namespace {

// Reads an open file from where it stands to its end.
int import_stream(const csv_kind& kind, std::FILE* file, const csv_rows& rows,
                  const csv_read_options& options) {
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
  if (f.stopped) return IMPORT_STOPPED;
  if (!f.observer) console_out("%lu fields, %lu rows\n", f.fields_read, f.rows_read);
  return IMPORT_OK;
}

}  // namespace

int csv_import(const csv_kind& kind, const char* path, const csv_rows& rows,
               const csv_read_options& options) {
  unique_file file = path ? file_open(path, "rb") : nullptr;
  if (!file) {
    if (options.observer) return IMPORT_FAILED;
    console_out("%s\terror opening '%s'.\r\n", kind.tag, path ? path : "(null)");
    return IMPORT_FAILED;
  }
  return import_stream(kind, file.get(), rows, options);
}

}  // namespace torvi
