#include "inspect/sources.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>

#include "firmware/firmware_package.h"
#include "platform/file.h"
#include "tar/tar_stream.h"

namespace torvi::inspect {
namespace {

std::string base_name(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool starts_with(const std::vector<std::uint8_t>& bytes, const char* magic, std::size_t n) {
  return bytes.size() >= n && std::memcmp(bytes.data(), magic, n) == 0;
}

// A tar archive by its first header, which carries its own checksum.
bool looks_like_tar(const std::vector<std::uint8_t>& bytes) {
  tar_stream reader;
  tar_open_memory_reader(reader, bytes);
  tar_header header;
  return tar_read_header(reader, header) == TAR_OK;
}

// A channel file by its header: the length field is the file's size and
// one of the layouts' lengths.
std::optional<channel_file_kind> channel_file_by_header(std::span<const std::uint8_t> start,
                                                        std::uint64_t size) {
  if (start.size() < kHeaderSize) return std::nullopt;
  const config_header header = config_header_load(start.data());
  if (header.length != size) return std::nullopt;
  if (header.length == gear1::kLength || header.length == gear2::kLength ||
      header.length == gear3::kLength) {
    return channel_file_kind::gear;
  }
  if (header.length == device2::kLength || header.length == device3::kLength) {
    return channel_file_kind::device;
  }
  return std::nullopt;
}

bool read_whole(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error) {
  unique_file file = file_open(path.c_str(), "rb");
  if (!file) {
    error = std::strerror(errno);
    return false;
  }
  std::uint8_t chunk[65536];
  for (;;) {
    const std::size_t n = std::fread(chunk, 1, sizeof chunk, file.get());
    if (n == 0) break;
    if (bytes.size() + n > kSourceMax) {
      error = "larger than 64 MiB";
      return false;
    }
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  if (std::ferror(file.get())) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

const char* source_kind_name(source_kind kind) {
  switch (kind) {
    case source_kind::zip_backup:
      return "backup";
    case source_kind::config_tar:
      return "configuration archive";
    case source_kind::gear_file:
      return "gear file";
    case source_kind::device_file:
      return "device file";
    case source_kind::firmware_package:
      return "firmware package";
    case source_kind::firmware_image:
      return "firmware image";
    case source_kind::unknown:
      break;
  }
  return "unknown";
}

bool channel_file_name(const std::string& name, unsigned& channel, channel_file_kind& kind) {
  const std::string base = base_name(name);
  for (const auto& [prefix, k] :
       {std::pair{"dali", channel_file_kind::gear}, std::pair{"cd", channel_file_kind::device}}) {
    const std::size_t n = std::strlen(prefix);
    if (base.size() != n + 5 || base.compare(0, n, prefix) != 0 ||
        base.compare(n + 1, 4, ".bin") != 0 || base[n] < '0' || base[n] > '9') {
      continue;
    }
    channel = static_cast<unsigned>(base[n] - '0');
    kind = k;
    return true;
  }
  return false;
}

// The first bytes and the size of a file, without reading it all; false
// when it does not open.
bool peek(const std::string& path, std::vector<std::uint8_t>& start, std::uint64_t& size) {
  unique_file file = file_open(path.c_str(), "rb");
  if (!file) return false;
  start.resize(kHeaderSize);
  start.resize(std::fread(start.data(), 1, start.size(), file.get()));
  std::error_code failed;
  size = std::filesystem::file_size(path, failed);
  return !failed;
}

bool load_source(const std::string& path, source_file& file, std::string& error) {
  file = {path, source_kind::unknown, {}};
  unsigned channel = 0;
  channel_file_kind kind{};
  const char* extension = file_extension(path.c_str());
  const bool named_channel_file = channel_file_name(path, channel, kind);
  if (!named_channel_file && std::strcmp(extension, "binary") == 0) {
    file.kind = source_kind::firmware_image;
    return true;
  }
  if (!named_channel_file && std::strcmp(extension, "bin") == 0) {
    // push_firmware reads any other ".bin" as a package, whole, and says
    // itself when it does not open; only a channel file's header (its
    // length field the file's size) makes it something else.
    std::vector<std::uint8_t> start;
    std::uint64_t size = 0;
    if (!peek(path, start, size) || !channel_file_by_header(start, size)) {
      file.kind = source_kind::firmware_package;
      return true;
    }
  }
  if (!read_whole(path, file.bytes, error)) return false;
  const std::optional<channel_file_kind> by_header =
      channel_file_by_header(file.bytes, file.bytes.size());
  if (named_channel_file || (std::strcmp(extension, "bin") == 0 && by_header)) {
    file.kind = (named_channel_file ? kind : *by_header) == channel_file_kind::gear
                    ? source_kind::gear_file
                    : source_kind::device_file;
  } else if (starts_with(file.bytes, "PK\3\4", 4) || starts_with(file.bytes, "PK\5\6", 4)) {
    file.kind = source_kind::zip_backup;
  } else if (looks_like_tar(file.bytes)) {
    file.kind = source_kind::config_tar;
  } else if (by_header) {
    file.kind =
        *by_header == channel_file_kind::gear ? source_kind::gear_file : source_kind::device_file;
  }
  return true;
}

bool read_contents(const source_file& file, backup_contents& contents, std::string& error) {
  contents = {};
  switch (file.kind) {
    case source_kind::config_tar:
      return backup_read_tar(file.bytes, contents, error);
    case source_kind::gear_file:
    case source_kind::device_file: {
      unsigned channel = 0;
      channel_file_kind kind =
          file.kind == source_kind::gear_file ? channel_file_kind::gear : channel_file_kind::device;
      channel_file_name(file.path, channel, kind);
      contents.files.push_back({{}, base_name(file.path), channel, kind, file.bytes});
      return true;
    }
    case source_kind::zip_backup:
      return backup_read_zip(file.path, contents, error);
    default:
      error = std::string("a ") + source_kind_name(file.kind) + " holds no channel configuration";
      return false;
  }
}

bool load_channel(const std::string& path, unsigned channel, loaded_channel& loaded,
                  std::string& error) {
  loaded = {};
  source_file file;
  backup_contents contents;
  if (!load_source(path, file, error) || !read_contents(file, contents, error)) return false;
  loaded.firmware_version = contents.firmware_version;
  const found_channel_file* gear = find_channel_file(contents, channel, channel_file_kind::gear);
  const found_channel_file* device =
      find_channel_file(contents, channel, channel_file_kind::device);
  if (!gear && !device) {
    error = "holds no gear or device file of channel " + std::to_string(channel);
    return false;
  }
  if (gear) {
    loaded.gear_size = gear->bytes.size();
    std::copy_n(gear->bytes.begin(), std::min(gear->bytes.size(), loaded.record.gear.size()),
                loaded.record.gear.begin());
  }
  if (device) {
    loaded.device_size = device->bytes.size();
    std::copy_n(device->bytes.begin(), std::min(device->bytes.size(), loaded.record.device.size()),
                loaded.record.device.begin());
  }
  return true;
}

}  // namespace torvi::inspect
