#include "tar/tar_stream.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace torvi {
namespace {

// Header block layout: offset and width of each field.
constexpr std::size_t kNameOffset = 0;
constexpr std::size_t kNameWidth = 100;
constexpr std::size_t kModeOffset = 100;
constexpr std::size_t kModeWidth = 8;
constexpr std::size_t kOwnerOffset = 108;
constexpr std::size_t kOwnerWidth = 8;
constexpr std::size_t kSizeOffset = 124;
constexpr std::size_t kSizeWidth = 12;
constexpr std::size_t kMtimeOffset = 136;
constexpr std::size_t kMtimeWidth = 12;
constexpr std::size_t kChecksumOffset = 148;
constexpr std::size_t kChecksumWidth = 8;
constexpr std::size_t kTypeOffset = 156;
constexpr std::size_t kLinknameOffset = 157;
constexpr std::size_t kLinknameWidth = 100;

constexpr std::uint32_t kEndMarkerSize = 2 * kTarBlockSize;
constexpr std::uint32_t kFileMode = 0664;
constexpr std::uint64_t kMaxPosition = std::numeric_limits<std::uint32_t>::max();

using Block = std::array<std::uint8_t, kTarBlockSize>;

// The checksum field itself counts as eight blanks.
std::uint32_t block_checksum(const Block& block) {
  std::uint32_t sum = 8 * ' ';
  for (std::size_t i = 0; i < block.size(); ++i) {
    if (i >= kChecksumOffset && i < kChecksumOffset + kChecksumWidth) continue;
    sum += block[i];
  }
  return sum;
}

bool is_blank(std::uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads an octal number that stays inside its field: a field filled to the
// brim with digits must not run on into the next one. Values beyond 32 bits
// saturate, so an absurd size is caught by the bounds checks instead of
// wrapping to a small, plausible one. `digits` tells whether any were seen.
std::uint32_t load_octal(const Block& block, std::size_t offset, std::size_t width,
                         bool* digits = nullptr) {
  std::size_t i = offset;
  const std::size_t end = offset + width;
  while (i < end && is_blank(block[i])) ++i;
  std::uint64_t value = 0;
  bool seen = false;
  for (; i < end && block[i] >= '0' && block[i] <= '7'; ++i) {
    seen = true;
    value = std::min<std::uint64_t>(value * 8 + (block[i] - '0'), kMaxPosition + 1);
  }
  if (digits) *digits = seen;
  return static_cast<std::uint32_t>(std::min(value, kMaxPosition));
}

std::string load_text(const Block& block, std::size_t offset, std::size_t width) {
  const auto* begin = block.data() + offset;
  const auto* end = std::find(begin, begin + width, std::uint8_t{0});
  return std::string(begin, end);
}

// "%o" followed by a NUL; false when the digits and NUL do not fit.
bool store_octal(Block& block, std::size_t offset, std::size_t width, std::uint32_t value) {
  char text[16];
  int n = std::snprintf(text, sizeof text, "%o", value);
  if (n < 0 || static_cast<std::size_t>(n) >= width) return false;
  std::memcpy(block.data() + offset, text, static_cast<std::size_t>(n) + 1);
  return true;
}

bool store_text(Block& block, std::size_t offset, const std::string& text) {
  if (text.size() > kTarMaxNameLength || text.find('\0') != std::string::npos) return false;
  std::memcpy(block.data() + offset, text.data(), text.size());
  return true;
}

std::uint32_t padding_for(std::uint32_t size) {
  return (0u - size) & (kTarBlockSize - 1);
}

// Bytes the backing object really holds from `position` on; unlimited when
// the stream cannot tell (a writer, or a file that is not a regular file).
std::uint64_t bytes_available(const tar_stream& stream, std::uint64_t position) {
  std::uint64_t total = std::numeric_limits<std::uint64_t>::max();
  if (stream.memory) {
    total = stream.memory_length;
  } else if (stream.file) {
    struct stat st;
    if (::fstat(fileno(stream.file.get()), &st) == 0 && S_ISREG(st.st_mode)) {
      total = static_cast<std::uint64_t>(st.st_size);
    }
  } else {
    return total;
  }
  return position >= total ? 0 : total - position;
}

// The operations' own read and write: the position moves by `count` whatever
// the callback answers.
int stream_read(tar_stream& stream, std::uint8_t* destination, std::uint32_t count) {
  if (!stream.read) return TAR_ERR_FAILURE;
  int rc = stream.read(stream, destination, count);
  stream.position += count;
  return rc;
}

int stream_write(tar_stream& stream, const std::uint8_t* source, std::uint32_t count) {
  if (!stream.write) return TAR_ERR_FAILURE;
  int rc = stream.write(stream, source, count);
  stream.position += count;
  return rc;
}

// Padding and end markers go out one byte per call.
int write_zeros(tar_stream& stream, std::uint32_t count) {
  static const std::uint8_t zero = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    int rc = stream_write(stream, &zero, 1);
    if (rc != TAR_OK) return rc;
  }
  return TAR_OK;
}

int file_read(tar_stream& stream, std::uint8_t* destination, std::uint32_t count) {
  if (!stream.file || (!destination && count)) return TAR_ERR_FAILURE;
  if (count == 0) return TAR_OK;
  return std::fread(destination, 1, count, stream.file.get()) == count ? TAR_OK : TAR_ERR_READ;
}

int file_write(tar_stream& stream, const std::uint8_t* source, std::uint32_t count) {
  if (!stream.file || (!source && count)) return TAR_ERR_FAILURE;
  if (count == 0) return TAR_OK;
  return std::fwrite(source, 1, count, stream.file.get()) == count ? TAR_OK : TAR_ERR_WRITE;
}

int file_seek(tar_stream& stream, std::uint32_t position) {
  if (!stream.file) return TAR_ERR_FAILURE;
  return std::fseek(stream.file.get(), static_cast<long>(position), SEEK_SET) == 0 ? TAR_OK
                                                                                   : TAR_ERR_SEEK;
}

// A failed flush on close means written bytes were lost: report it.
int file_close(tar_stream& stream) {
  if (!stream.file) return TAR_ERR_FAILURE;
  return file_close(stream.file) ? TAR_OK : TAR_ERR_WRITE;
}

int memory_read(tar_stream& stream, std::uint8_t* destination, std::uint32_t count) {
  if (!stream.memory || (!destination && count)) return TAR_ERR_FAILURE;
  if (std::uint64_t{stream.position} + count > stream.memory_length) return TAR_ERR_READ;
  if (count) std::memcpy(destination, stream.memory + stream.position, count);
  return TAR_OK;
}

int memory_seek(tar_stream& stream, std::uint32_t) {
  return stream.memory ? TAR_OK : TAR_ERR_FAILURE;
}

int memory_close(tar_stream& stream) {
  return stream.memory ? TAR_OK : TAR_ERR_FAILURE;
}

int memory_write(tar_stream& stream, const std::uint8_t* source, std::uint32_t count) {
  if (!source && count) return TAR_ERR_FAILURE;
  const std::uint64_t end = std::uint64_t{stream.position} + count;
  if (end > kMaxPosition) return TAR_ERR_WRITE;
  if (stream.buffer.size() < end) stream.buffer.resize(static_cast<std::size_t>(end));
  if (count) std::memcpy(stream.buffer.data() + stream.position, source, count);
  return TAR_OK;
}

// fopen modes are always binary here; "r+" deliberately opens read-only.
std::string binary_mode(const std::string& mode) {
  if (mode.find('r') != std::string::npos) return "rb";
  if (mode.find('w') != std::string::npos) return "wb";
  if (mode.find('a') != std::string::npos) return "ab";
  return mode;
}

}  // namespace

int tar_open(tar_stream& stream, const std::string& path, const std::string& mode) {
  stream = tar_stream{};
  stream.read = file_read;
  stream.write = file_write;
  stream.seek = file_seek;
  stream.close = file_close;
  const std::string used = binary_mode(mode);
  stream.file = file_open(path, used.c_str());
  if (!stream.file) return TAR_ERR_OPEN;
  if (used.starts_with('r')) {
    tar_header scratch;
    int rc = tar_read_header(stream, scratch);
    if (rc != TAR_OK) {
      tar_close(stream);
      stream.position = 0;
      return rc;
    }
  }
  return TAR_OK;
}

int tar_open_memory_reader(tar_stream& stream, const std::uint8_t* data, std::size_t length) {
  stream = tar_stream{};
  stream.read = memory_read;
  stream.seek = memory_seek;
  stream.close = memory_close;
  // Positions are 32-bit: a larger buffer cannot be addressed, and reading
  // only a prefix of it would silently drop members.
  if (length > kMaxPosition) return TAR_ERR_FAILURE;
  stream.memory = data;
  stream.memory_length = data ? static_cast<std::uint32_t>(length) : 0;
  return TAR_OK;
}

int tar_open_memory_reader(tar_stream& stream, const std::vector<std::uint8_t>& data) {
  // An empty vector may have no storage; still count it as a (zero-length) buffer.
  static const std::uint8_t empty = 0;
  return tar_open_memory_reader(stream, data.empty() ? &empty : data.data(), data.size());
}

int tar_open_memory_writer(tar_stream& stream) {
  stream = tar_stream{};
  stream.write = memory_write;
  return TAR_OK;
}

std::span<const std::uint8_t> tar_memory_data(const tar_stream& stream) {
  return {stream.buffer.data(), std::min<std::size_t>(stream.buffer.size(), stream.position)};
}

std::vector<std::uint8_t> tar_memory_take(tar_stream& stream) {
  std::vector<std::uint8_t> bytes = std::move(stream.buffer);
  bytes.resize(std::min<std::size_t>(bytes.size(), stream.position));
  stream.buffer.clear();
  stream.position = 0;
  stream.remaining = 0;
  return bytes;
}

int tar_close(tar_stream& stream) {
  return stream.close ? stream.close(stream) : TAR_ERR_FAILURE;
}

int tar_seek(tar_stream& stream, std::uint32_t position) {
  if (!stream.seek) return TAR_ERR_FAILURE;
  int rc = stream.seek(stream, position);
  stream.position = position;
  return rc;
}

int tar_rewind(tar_stream& stream) {
  stream.remaining = 0;
  stream.last_header = 0;
  return tar_seek(stream, 0);
}

int tar_read_header(tar_stream& stream, tar_header& header) {
  if (!stream.read || !stream.seek) return TAR_ERR_FAILURE;
  stream.last_header = stream.position;
  Block block{};
  int rc = stream_read(stream, block.data(), kTarBlockSize);
  if (rc != TAR_OK) return rc;
  rc = tar_seek(stream, stream.last_header);
  if (rc != TAR_OK) return rc;
  if (block[kChecksumOffset] == 0) return TAR_ERR_NULL_RECORD;
  bool digits = false;
  std::uint32_t stored = load_octal(block, kChecksumOffset, kChecksumWidth, &digits);
  if (!digits || stored != block_checksum(block)) return TAR_ERR_CHECKSUM;
  header.mode = load_octal(block, kModeOffset, kModeWidth);
  header.owner = load_octal(block, kOwnerOffset, kOwnerWidth);
  header.size = load_octal(block, kSizeOffset, kSizeWidth);
  header.mtime = load_octal(block, kMtimeOffset, kMtimeWidth);
  header.type = block[kTypeOffset];
  header.name = load_text(block, kNameOffset, kNameWidth);
  header.linkname = load_text(block, kLinknameOffset, kLinknameWidth);
  return TAR_OK;
}

int tar_next(tar_stream& stream) {
  tar_header header;
  int rc = tar_read_header(stream, header);
  if (rc != TAR_OK) return rc;
  // A size near 4 GiB would wrap the 32-bit target back onto (or before) this
  // header, and a search would then loop forever.
  const std::uint64_t target =
      std::uint64_t{stream.position} + kTarBlockSize + header.size + padding_for(header.size);
  if (target > kMaxPosition) return TAR_ERR_SEEK;
  return tar_seek(stream, static_cast<std::uint32_t>(target));
}

int tar_find(tar_stream& stream, std::string_view name, tar_header* header) {
  int rc = tar_rewind(stream);
  if (rc != TAR_OK) return rc;
  for (;;) {
    tar_header current;
    rc = tar_read_header(stream, current);
    if (rc == TAR_ERR_NULL_RECORD) return TAR_ERR_NOT_FOUND;
    if (rc != TAR_OK) return rc;
    if (current.name == name) {
      if (header) *header = std::move(current);
      return TAR_OK;
    }
    // Every successful step moves forward by at least one block, so this ends.
    rc = tar_next(stream);
    if (rc != TAR_OK) return rc;
  }
}

int tar_check_member(const tar_stream& stream, const tar_header& header) {
  const std::uint64_t data_start = std::uint64_t{stream.position} + kTarBlockSize;
  if (data_start + header.size > kMaxPosition) return TAR_ERR_READ;
  return bytes_available(stream, data_start) >= header.size ? TAR_OK : TAR_ERR_READ;
}

int tar_read_data(tar_stream& stream, std::span<std::uint8_t> buffer) {
  if (buffer.size() > kMaxPosition) return TAR_ERR_FAILURE;
  const auto count = static_cast<std::uint32_t>(buffer.size());
  if (stream.remaining == 0) {
    // First piece of a member: take its size from the header, and refuse
    // before copying anything when the archive does not hold that much.
    tar_header header;
    int rc = tar_read_header(stream, header);
    if (rc != TAR_OK) return rc;
    if (count > header.size) return TAR_ERR_FAILURE;
    rc = tar_check_member(stream, header);
    if (rc != TAR_OK) return rc;
    rc = tar_seek(stream, stream.position + kTarBlockSize);
    if (rc != TAR_OK) return rc;
    stream.remaining = header.size;
  } else if (count > stream.remaining) {
    return TAR_ERR_FAILURE;
  }
  int rc = stream_read(stream, buffer.data(), count);
  if (rc != TAR_OK) return rc;
  stream.remaining -= count;
  if (stream.remaining != 0) return TAR_OK;
  return tar_seek(stream, stream.last_header);
}

int tar_read_member(tar_stream& stream, std::string_view name, std::vector<std::uint8_t>& data,
                    tar_header* header) {
  tar_header found;
  int rc = tar_find(stream, name, &found);
  if (rc != TAR_OK) return rc;
  rc = tar_check_member(stream, found);
  if (rc != TAR_OK) return rc;
  std::vector<std::uint8_t> bytes(found.size);
  rc = tar_read_data(stream, bytes);
  if (rc != TAR_OK) return rc;
  data = std::move(bytes);
  if (header) *header = std::move(found);
  return TAR_OK;
}

int tar_write_header(tar_stream& stream, const tar_header& header) {
  // A new header before the last member's data is complete would leave a
  // member shorter than it declares and every later member misplaced.
  if (stream.remaining != 0 || header.type > 0xFF) return TAR_ERR_FAILURE;
  Block block{};
  if (!store_text(block, kNameOffset, header.name) ||
      !store_text(block, kLinknameOffset, header.linkname) ||
      !store_octal(block, kModeOffset, kModeWidth, header.mode) ||
      !store_octal(block, kOwnerOffset, kOwnerWidth, header.owner) ||
      !store_octal(block, kSizeOffset, kSizeWidth, header.size) ||
      !store_octal(block, kMtimeOffset, kMtimeWidth, header.mtime)) {
    return TAR_ERR_FAILURE;
  }
  block[kTypeOffset] = header.type == 0 ? '0' : static_cast<std::uint8_t>(header.type);
  char checksum[8];
  std::snprintf(checksum, sizeof checksum, "%06o", block_checksum(block));
  std::memcpy(block.data() + kChecksumOffset, checksum, 7);
  block[kChecksumOffset + 7] = ' ';
  stream.remaining = header.size;
  return stream_write(stream, block.data(), kTarBlockSize);
}

int tar_write_file_header(tar_stream& stream, std::string_view name, std::uint32_t size) {
  tar_header header;
  header.mode = kFileMode;
  header.size = size;
  header.type = '0';
  header.name = std::string(name);
  return tar_write_header(stream, header);
}

int tar_write_data(tar_stream& stream, std::span<const std::uint8_t> data) {
  // More than the header declared would spill into where the next header goes.
  if (data.size() > stream.remaining) return TAR_ERR_FAILURE;
  const auto count = static_cast<std::uint32_t>(data.size());
  static const std::uint8_t none = 0;
  int rc = stream_write(stream, data.empty() ? &none : data.data(), count);
  if (rc != TAR_OK) return rc;
  stream.remaining -= count;
  if (stream.remaining != 0) return TAR_OK;
  return write_zeros(stream, padding_for(stream.position));
}

int tar_finalize(tar_stream& stream) {
  if (stream.remaining != 0) return TAR_ERR_FAILURE;
  return write_zeros(stream, kEndMarkerSize);
}

const char* tar_strerror(int code) {
  switch (code) {
    case TAR_OK:
      return "success";
    case TAR_ERR_FAILURE:
      return "failure";
    case TAR_ERR_OPEN:
      return "could not open";
    case TAR_ERR_READ:
      return "could not read";
    case TAR_ERR_WRITE:
      return "could not write";
    case TAR_ERR_SEEK:
      return "could not seek";
    case TAR_ERR_CHECKSUM:
      return "bad checksum";
    case TAR_ERR_NULL_RECORD:
      return "null record";
    case TAR_ERR_NOT_FOUND:
      return "file not found";
    default:
      return "unknown error";
  }
}

}  // namespace torvi
