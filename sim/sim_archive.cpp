#include "sim/sim_archive.h"

#include <archive.h>
#include <archive_entry.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace korvan {
namespace {

constexpr size_t kBlock = 512;
constexpr size_t kNameField = 0;
constexpr size_t kNameWidth = 100;
constexpr size_t kSizeField = 124;
constexpr size_t kSizeWidth = 12;
constexpr size_t kChecksumField = 148;
constexpr size_t kChecksumWidth = 8;
constexpr size_t kReadChunk = 16384;

struct ArchiveWriteFree {
  void operator()(archive* a) const { archive_write_free(a); }
};
struct ArchiveReadFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
struct EntryFree {
  void operator()(archive_entry* e) const { archive_entry_free(e); }
};

la_ssize_t append_bytes(archive*, void* client, const void* buffer, size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(client);
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  out->insert(out->end(), bytes, bytes + length);
  return static_cast<la_ssize_t>(length);
}

uint64_t parse_octal(const uint8_t* field, size_t width) {
  uint64_t value = 0;
  size_t i = 0;
  while (i < width && field[i] == ' ') ++i;
  for (; i < width && field[i] >= '0' && field[i] <= '7'; ++i) value = value * 8 + (field[i] - '0');
  return value;
}

unsigned header_checksum(const uint8_t* block) {
  unsigned sum = 0;
  for (size_t i = 0; i < kBlock; ++i)
    sum += (i >= kChecksumField && i < kChecksumField + kChecksumWidth) ? ' ' : block[i];
  return sum;
}

void write_checksum(uint8_t* block) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06o", header_checksum(block) & 0777777u);
  std::memcpy(block + kChecksumField, digits, 7);  // six digits and a NUL
  block[kChecksumField + 7] = ' ';
}

}  // namespace

std::vector<uint8_t> archive_pack(const std::vector<ArchiveMember>& members) {
  std::vector<uint8_t> out;
  std::unique_ptr<archive, ArchiveWriteFree> a(archive_write_new());
  if (!a) return {};
  // Blocks of 512 with no padding of the last one: the archive ends right
  // after the two zero blocks, as the controller's own archives do.
  if (archive_write_set_format_v7tar(a.get()) != ARCHIVE_OK ||
      archive_write_set_bytes_per_block(a.get(), static_cast<int>(kBlock)) != ARCHIVE_OK ||
      archive_write_set_bytes_in_last_block(a.get(), 1) != ARCHIVE_OK ||
      archive_write_open(a.get(), &out, nullptr, append_bytes, nullptr) != ARCHIVE_OK)
    return {};
  for (const ArchiveMember& m : members) {
    std::unique_ptr<archive_entry, EntryFree> entry(archive_entry_new());
    archive_entry_set_pathname(entry.get(), m.name.c_str());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0644);
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(m.data.size()));
    archive_entry_set_mtime(entry.get(), m.mtime, 0);
    if (archive_write_header(a.get(), entry.get()) != ARCHIVE_OK) return {};
    if (!m.data.empty() && archive_write_data(a.get(), m.data.data(), m.data.size()) !=
                               static_cast<la_ssize_t>(m.data.size()))
      return {};
  }
  if (archive_write_close(a.get()) != ARCHIVE_OK) return {};
  return out;
}

bool archive_unpack(const std::vector<uint8_t>& bytes, std::vector<ArchiveMember>& members,
                    std::string* error) {
  members.clear();
  auto fail = [&](const std::string& reason) {
    members.clear();
    if (error) *error = reason;
    return false;
  };
  if (bytes.empty()) return fail("empty upload");
  std::unique_ptr<archive, ArchiveReadFree> a(archive_read_new());
  if (!a) return fail("out of memory");
  // Tar only: a ZIP or anything else that libarchive could also read is not
  // what the controller takes.
  archive_read_support_format_tar(a.get());
  if (archive_read_open_memory(a.get(), bytes.data(), bytes.size()) != ARCHIVE_OK)
    return fail(archive_error_string(a.get()) ? archive_error_string(a.get())
                                              : "not a tar archive");
  for (;;) {
    archive_entry* entry = nullptr;
    int r = archive_read_next_header(a.get(), &entry);
    if (r == ARCHIVE_EOF) break;
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
      const char* why = archive_error_string(a.get());
      return fail(why ? why : "not a tar archive");
    }
    ArchiveMember m;
    m.name = archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
    m.mtime = archive_entry_mtime(entry);
    m.regular = archive_entry_filetype(entry) == AE_IFREG;
    // Read in chunks rather than trusting the header's size: the data can
    // never be longer than the upload it came in.
    uint8_t chunk[kReadChunk];
    for (;;) {
      la_ssize_t n = archive_read_data(a.get(), chunk, sizeof chunk);
      if (n == 0) break;
      if (n < 0) {
        const char* why = archive_error_string(a.get());
        return fail(m.name + ": " + (why ? why : "unreadable data"));
      }
      if (m.data.size() + static_cast<size_t>(n) > bytes.size())
        return fail("member data overruns");
      m.data.insert(m.data.end(), chunk, chunk + n);
    }
    members.push_back(std::move(m));
  }
  return true;
}

size_t archive_header_offset(const std::vector<uint8_t>& archive, const std::string& name) {
  size_t offset = 0;
  while (offset + kBlock <= archive.size()) {
    const uint8_t* block = archive.data() + offset;
    if (block[kChecksumField] == 0) break;  // end of archive
    size_t len = strnlen(reinterpret_cast<const char*>(block + kNameField), kNameWidth);
    if (name.size() == len && std::memcmp(block, name.data(), len) == 0) return offset;
    uint64_t size = parse_octal(block + kSizeField, kSizeWidth);
    offset += kBlock + (size + kBlock - 1) / kBlock * kBlock;
  }
  return std::string::npos;
}

bool archive_corrupt_checksum(std::vector<uint8_t>& archive, size_t offset) {
  if (offset == std::string::npos || offset + kBlock > archive.size()) return false;
  uint8_t* block = archive.data() + offset;
  char digits[8];
  // One more than the right sum: still six octal digits, just wrong.
  std::snprintf(digits, sizeof digits, "%06o", (header_checksum(block) + 1) & 0777777u);
  std::memcpy(block + kChecksumField, digits, 7);
  block[kChecksumField + 7] = ' ';
  return true;
}

bool archive_claim_size(std::vector<uint8_t>& archive, size_t offset, uint64_t size) {
  if (offset == std::string::npos || offset + kBlock > archive.size()) return false;
  if (size > 077777777777ull) return false;  // eleven octal digits is all the field holds
  uint8_t* block = archive.data() + offset;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%011llo", static_cast<unsigned long long>(size));
  std::memcpy(block + kSizeField, digits, 11);
  block[kSizeField + 11] = ' ';
  write_checksum(block);
  return true;
}

}  // namespace korvan
