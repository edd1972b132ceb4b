#include <cstdio>
#include <cstring>
#include <string>

#include "digest/hex.h"
#include "firmware/entry_decoder.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_info.h"
#include "firmware/firmware_package.h"
#include "inspect/commands.h"
#include "inspect/inspect.h"
#include "platform/console.h"
#include "platform/file.h"

namespace torvi::inspect {
namespace {

// Sends console_out to a scratch file while it lives: the readers print
// their progress and failures, which belong in the report, not among it.
// The stream in use before comes back however the scope is left.
class console_capture {
 public:
  console_capture()
      : saved_out_(console_out_stream()),
        saved_err_(console_err_stream()),
        scratch_(std::tmpfile()) {
    if (scratch_) console_set_streams(scratch_.get(), saved_err_);
  }
  ~console_capture() { console_set_streams(saved_out_, saved_err_); }
  console_capture(const console_capture&) = delete;
  console_capture& operator=(const console_capture&) = delete;

  bool ready() const { return scratch_ != nullptr; }
  std::string text() const {
    std::string text;
    std::fflush(scratch_.get());
    std::rewind(scratch_.get());
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, scratch_.get())) > 0;) {
      text.append(chunk, n);
    }
    return text;
  }

 private:
  FILE* saved_out_;
  FILE* saved_err_;
  unique_file scratch_;
};

std::string method_name(int method) {
  const std::pair<int, const char*> names[] = {
      {kZipMethodStored, "stored"},
      {kZipMethodDeflate, "deflate"},
      {9, "deflate64"},
      {kZipMethodBzip2, "bzip2"},
      {kZipMethodLzma, "lzma"},
      {kZipMethodZstd, "zstd"},
      {kZipMethodXz, "xz"},
      {98, "ppmd"},
  };
  for (const auto& [number, name] : names) {
    if (number == method) return std::string(name) + " (" + std::to_string(method) + ")";
  }
  return "method " + std::to_string(method);
}

std::string encryption_name(EntryEncryption encryption) {
  switch (encryption) {
    case EntryEncryption::none:
      return "none";
    case EntryEncryption::traditional_pkware:
      return "traditional PKWARE";
    case EntryEncryption::aes128:
      return "AES-128";
    case EntryEncryption::aes192:
      return "AES-192";
    case EntryEncryption::aes256:
      return "AES-256";
  }
  return "unknown (" + std::to_string(static_cast<int>(encryption)) + ")";
}

// The package rows of the report, in the reader's order. Reading the
// payload has no row of its own: only memory running out stops the reader
// there, and the digest row then names the reader's result.
struct package_row {
  PackageStep step;
  const char* check;
  const char* entry;  // empty for the archive and the digest
};
constexpr package_row kPackageRows[] = {
    {PackageStep::archive_opens, "ZIP archive opens", ""},
    {PackageStep::header_present, "entry present", kFirmwareHeaderEntry},
    {PackageStep::header_aes256, "AES-256 encryption", kFirmwareHeaderEntry},
    {PackageStep::header_method, "compression method", kFirmwareHeaderEntry},
    {PackageStep::header_opens, "opens with the password", kFirmwareHeaderEntry},
    {PackageStep::header_length, "header is 64 bytes", kFirmwareHeaderEntry},
    {PackageStep::payload_present, "entry present", kFirmwarePayloadEntry},
    {PackageStep::payload_aes256, "AES-256 encryption", kFirmwarePayloadEntry},
    {PackageStep::payload_method, "compression method", kFirmwarePayloadEntry},
    {PackageStep::payload_opens, "opens with the password", kFirmwarePayloadEntry},
    {PackageStep::digest, "header digest is the payload's SHA-256", ""},
};

const char* outcome(int step, int failed) {
  return step < failed ? "passed" : step == failed ? "failed" : "not reached";
}

node hex_node(const Sha256Digest& digest) {
  char text[2 * kSha256DigestSize + 1];
  hex_encode(digest.data(), digest.size(), text);
  return text_node(text);
}

node check_row(const char* check, const char* entry, const char* result, node detail) {
  node row = object_node();
  row.add("check", text_node(check));
  if (entry) row.add("entry", entry[0] ? text_node(entry) : null_node());
  row.add("outcome", text_node(result));
  row.add("detail", std::move(detail));
  return row;
}

// The package rows as the reader's account gives them, and the reason for
// a refusal among them. `reader_ran` is false when the path's extension
// picked no package reader: every row is then not reached.
node package_checks(const FirmwareFileCheck& check, bool reader_ran, std::string& reason) {
  const PackageTrace& trace = check.package;
  const PackageStep stopped =
      trace.stopped_at == PackageStep::payload_read ? PackageStep::digest : trace.stopped_at;
  const int failed = reader_ran ? static_cast<int>(stopped) : -1;
  node rows = list_node();
  for (const package_row& row : kPackageRows) {
    const int step = static_cast<int>(row.step);
    const bool reached = step <= failed;
    const bool stopped_here = step == failed;
    const std::string name = row.entry;
    const PackageEntrySeen& seen = name == kFirmwareHeaderEntry ? trace.header : trace.payload;
    node detail = null_node();
    switch (row.step) {
      case PackageStep::archive_opens:
        if (stopped_here) reason = "the file is not a ZIP archive the package reader opens";
        break;
      case PackageStep::header_present:
      case PackageStep::payload_present:
        if (stopped_here) {
          reason = (check.reader_result == FIRMWARE_ERR_ENTRY_RECORD ? "no record for the entry "
                                                                     : "no entry ") +
                   name;
        }
        break;
      case PackageStep::header_aes256:
      case PackageStep::payload_aes256:
        if (reached && seen.encryption) detail = text_node(encryption_name(*seen.encryption));
        if (stopped_here) reason = "the entry " + name + " is not AES-256 encrypted";
        break;
      case PackageStep::header_method:
      case PackageStep::payload_method:
        if (reached && seen.method) detail = text_node(method_name(*seen.method));
        if (stopped_here) {
          reason = seen.method
                       ? "the entry " + name + " is compressed with " + method_name(*seen.method) +
                             ", which the reader does not decode"
                       : "the entry " + name + " names no compression method";
        }
        break;
      case PackageStep::header_opens:
      case PackageStep::payload_opens:
        if (stopped_here) {
          reason = "the entry " + name +
                   " does not open: another password, or data its method cannot decode";
        }
        break;
      case PackageStep::header_length:
        if (stopped_here) reason = "the header entry does not hold exactly 64 bytes";
        break;
      case PackageStep::digest:
        if (stopped_here && check.reader_result == FIRMWARE_OK) {
          reason = check.header_digest ? "the header names another digest than the payload's"
                                       : "the header is not a digest in hexadecimal digits";
          detail = text_node(reason);
        } else if (stopped_here) {
          reason = "the package reader stopped with result " + std::to_string(check.reader_result);
        }
        break;
      default:
        break;
    }
    rows.push(check_row(row.check, row.entry, outcome(step, failed), std::move(detail)));
  }
  return rows;
}

std::string info_text(const char (&field)[kInfoTextSize]) {
  return std::string(field, strnlen(field, kInfoTextSize));
}

node info_node(const FirmwareInfo& info) {
  node block = object_node();
  block.add("model_name", text_node(info_text(info.model_name)));
  block.add("model_description", text_node(info_text(info.model_description)));
  block.add("version_string", text_node(info_text(info.version_string)));
  block.add("version_number", number_node(info.version_number));
  block.add("version_date", text_node(info_text(info.version_date)));
  block.add("version_time", text_node(info_text(info.version_time)));
  return block;
}

// The information check's conditions one by one, in its order. The
// verdict is firmware_check_info's own; these rows only say which
// condition decided it.
node image_checks(const ImageRecord& record, const FirmwareFileCheck& check, std::string& reason) {
  FirmwareInfo info{};
  const bool has_block = firmware_read_info(record.data.data(), record.size, &info) == 0;
  const std::string model = has_block ? info_text(info.model_name) : "";
  const bool conditions[] = {record.size > 0 && record.size <= kFirmwareImageMaxSize, has_block,
                             model == kFirmwareModelName};
  int failed = 3;  // none
  for (int i = 0; i < 3; ++i) {
    if (!conditions[i]) {
      failed = i;
      break;
    }
  }
  if (!check.readable) failed = -1;
  const std::string size = record.size > kFirmwareImageMaxSize
                               ? "more than " + std::to_string(kFirmwareImageMaxSize) + " bytes"
                               : std::to_string(record.size) + " bytes";
  node rows = list_node();
  auto row = [&](int i, const std::string& name, node detail) {
    rows.push(check_row(name.c_str(), nullptr, failed < 0 ? "not reached" : outcome(i, failed),
                        failed < 0 || i > failed ? null_node() : std::move(detail)));
  };
  row(0, "size 1 to " + std::to_string(kFirmwareImageMaxSize) + " bytes", text_node(size));
  row(1, "holds the information block (" + std::to_string(kFirmwareImageMinSize) + " bytes)",
      null_node());
  row(2, std::string("model name is ") + kFirmwareModelName, text_node(model));
  if (failed == 0) reason = "the image is " + (record.size == 0 ? "empty" : size);
  // The raw reader takes a file it cannot open for an empty image.
  if (failed == 0 && record.size == 0 && check.kind == FirmwareFileKind::raw &&
      !file_open(record.path, "rb")) {
    reason = "the file does not open, so the image is empty";
  }
  if (failed == 1) reason = "the image is too short to hold the information block";
  if (failed == 2) reason = "the image is for the model \"" + model + "\"";
  return rows;
}

// One row per line push_firmware prints, its line end left off.
node lines_node(const std::string& text) {
  node lines = list_node();
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? end : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    node row = object_node();
    row.add("line", text_node(std::move(line)));
    lines.push(std::move(row));
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

}  // namespace

int show_firmware(const source_file& file, node& report) {
  // push_firmware works on the path as its image record holds it, cut to
  // its field; so does everything below.
  ImageRecord record;
  image_record_set_path(record, file.path.c_str());
  FirmwareFileCheck check;
  int refused;
  std::string printed;
  {
    console_capture capture;
    if (!capture.ready()) {
      return file_error(file.path.c_str(), "no scratch file for the firmware reader's lines");
    }
    refused = firmware_check_file(record, check);
    printed = capture.text();
  }
  if (file.path != record.path) report.add("path_read", text_node(record.path));

  std::string reason;
  if (check.kind == FirmwareFileKind::unsupported) {
    reason = "the extension of the path read is neither \"bin\" nor \"binary\"";
  }
  const bool read_whole =
      check.kind != FirmwareFileKind::unsupported && check.reader_result == FIRMWARE_OK;
  if (check.kind == FirmwareFileKind::package ||
      (check.kind == FirmwareFileKind::unsupported && file.kind == source_kind::firmware_package)) {
    report.add("package_checks",
               package_checks(check, check.kind == FirmwareFileKind::package, reason));
    report.add("header_digest", check.header_digest ? hex_node(*check.header_digest) : null_node());
    report.add("payload_sha256", read_whole ? hex_node(check.digest) : null_node());
  } else {
    // The raw reader stops one byte past the largest image, so the digest
    // of a longer file is not the file's.
    report.add("image_sha256", read_whole && record.size <= kFirmwareImageMaxSize
                                   ? hex_node(check.digest)
                                   : null_node());
  }
  // The readers keep one byte past the largest image and no more, so a
  // longer image's size is not known here.
  report.add("image_size", record.size <= kFirmwareImageMaxSize
                               ? number_node(static_cast<std::int64_t>(record.size))
                               : null_node());
  FirmwareInfo info{};
  report.add("information_block", firmware_read_info(record.data.data(), record.size, &info) == 0
                                      ? info_node(info)
                                      : null_node());
  std::string image_reason;
  report.add("image_checks", image_checks(record, check, image_reason));
  if (reason.empty()) reason = image_reason;

  report.add("verdict", text_node(refused ? "refused" : "accepted"));
  report.add("reason", refused ? text_node(reason) : null_node());
  if (refused) report.add("push_firmware_lines", lines_node(printed));
  return refused ? EXIT_PROBLEM : EXIT_GOOD;
}

}  // namespace torvi::inspect
