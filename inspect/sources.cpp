#include "inspect/sources.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <span>

#include "backup/backup.h"
#include "backup/backup_zip.h"
#include "firmware/firmware_package.h"
#include "inspect/inspect.h"
#include "platform/file.h"
#include "tar/tar_stream.h"

namespace torvi::inspect {
namespace {

constexpr char kStatusMember[] = "status.txt";

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

void take_identity(std::span<const std::uint8_t> text, source_contents& contents) {
  if (contents.model_name || contents.firmware_version) return;
  backup_file identity;
  const std::string copy(text.begin(), text.end());
  backup_read_identity(copy.c_str(), identity);
  contents.model_name = identity.model_name;
  contents.firmware_version = identity.firmware_version;
  contents.serial_number = identity.serial_number;
  contents.mac = identity.mac;
}

// The restore table's row whose member path is `name`; null for others.
const backup_restore_row* row_for_member(std::string_view name) {
  for (const backup_restore_row& row : backup_restore_table) {
    if (name == row.member) return &row;
  }
  return nullptr;
}

// Rows 1 to 4 carry gear files, 5 to 8 device files.
bool channel_row(const backup_restore_row& row, unsigned& channel, channel_file_kind& kind) {
  if (row.kind < 1 || row.kind > 8) return false;
  channel = (row.kind - 1) % 4 + 1;
  kind = row.kind <= 4 ? channel_file_kind::gear : channel_file_kind::device;
  return true;
}

// What a restore leaves on the controller so far: for each row of the
// restore table, the member that wrote its file last.
struct restore_state {
  source_contents& contents;
  std::map<std::uint32_t, std::size_t> holders;  // by row kind: index into contents.members

  // Member `index` is written to the controller in place of whatever an
  // earlier member wrote to the same file.
  void write(std::size_t index, const backup_restore_row& row, std::span<const std::uint8_t> data) {
    if (const auto held = holders.find(row.kind); held != holders.end()) {
      contents.members[held->second].fate = member_fate::superseded;
      contents.members[held->second].channel_file = false;
    }
    holders[row.kind] = index;
    found_member& member = contents.members[index];
    member.fate = member_fate::restored;
    unsigned channel = 0;
    channel_file_kind kind{};
    if (!channel_row(row, channel, kind)) return;
    member.channel_file = true;
    found_channel_file file{member.entry, member.name, channel, kind, {data.begin(), data.end()}};
    for (found_channel_file& f : contents.files) {
      if (f.channel == channel && f.kind == kind) {
        f = std::move(file);
        return;
      }
    }
    contents.files.push_back(std::move(file));
  }
};

void add_problem(source_contents& contents, const std::string& entry, const std::string& member,
                 std::string text) {
  contents.problems.push_back({entry, member, std::move(text)});
}

// One member of an archive as the walk meets it: its header, and its data
// within the archive's own bytes.
struct tar_member_view {
  tar_header header;
  std::span<const std::uint8_t> data;
};

// Walks a configuration archive once, handing each whole member to
// `each`. A member cut short ends the walk as a member with a problem. False,
// with `error` saying why, when a header is damaged or nothing is a tar.
template <typename Each>
bool walk_tar(std::span<const std::uint8_t> archive, const std::string& entry,
              source_contents& contents, std::string& error, Each&& each) {
  tar_stream reader;
  tar_open_memory_reader(reader, archive.data(), archive.size());
  for (;;) {
    tar_member_view member;
    int code = tar_read_header(reader, member.header);
    if (code == TAR_ERR_NULL_RECORD) return true;
    if (code != TAR_OK) {
      error = std::string("archive damaged: ") + tar_strerror(code);
      return false;
    }
    if (tar_check_member(reader, member.header) != TAR_OK) {
      contents.members.push_back({entry, member.header.name, member.header.size, "cut short"});
      return true;
    }
    member.data = archive.subspan(std::size_t{reader.position} + kTarBlockSize, member.header.size);
    found_member found{entry,
                       member.header.name,
                       member.header.size,
                       {},
                       sha256_digest(member.data.data(), member.data.size())};
    if (member.header.name == kStatusMember) take_identity(member.data, contents);
    contents.members.push_back(std::move(found));
    each(member, contents.members.size() - 1);
    code = tar_next(reader);
    if (code != TAR_OK) {
      error = std::string("archive damaged: ") + tar_strerror(code);
      return false;
    }
  }
}

// A bare configuration archive, which put_backup sends as it is: the
// controller writes each member whose path is one of its configuration
// files, in order, so a member named twice leaves the last.
bool read_tar(std::span<const std::uint8_t> archive, source_contents& contents,
              std::string& error) {
  std::map<std::string, unsigned> seen;
  restore_state restore{contents, {}};
  return walk_tar(archive, {}, contents, error, [&](const tar_member_view& m, std::size_t index) {
    if (m.header.name == kStatusMember) return;
    const backup_restore_row* row = row_for_member(m.header.name);
    if (!row) {
      add_problem(contents, {}, m.header.name,
                  "not a configuration file of the controller: not restored");
      return;
    }
    if (++seen[m.header.name] == 2) {
      add_problem(contents, {}, m.header.name,
                  "named more than once: the controller keeps the last");
    }
    restore.write(index, *row, m.data);
  });
}

// One entry of a ZIP backup, as put_backup restores it: the row its name
// has in the restore table, and from its tar the first member that row
// names; nothing else in the tar is sent.
void read_entry(const std::string& entry, std::span<const std::uint8_t> data,
                source_contents& contents, restore_state& restore) {
  const backup_restore_row* row = backup_restore_lookup(entry);
  const std::size_t first = contents.members.size();
  std::string tar_error;
  bool found_row_member = false;
  const bool walked =
      walk_tar(data, entry, contents, tar_error, [&](const tar_member_view& m, std::size_t index) {
        if (!row || m.header.name == kStatusMember) return;
        if (m.header.name != row->member) {
          add_problem(
              contents, entry, m.header.name,
              text_format("not restored: put_backup takes only '%s' from this entry", row->member));
          return;
        }
        if (found_row_member) {
          contents.members[index].fate = member_fate::superseded;
          add_problem(contents, entry, m.header.name,
                      "named more than once: put_backup restores the first");
          return;
        }
        found_row_member = true;
        if (m.header.size == 0) {
          add_problem(contents, entry, m.header.name, "empty: put_backup does not restore it");
          return;
        }
        restore.write(index, *row, m.data);
      });
  if (!walked || contents.members.size() == first) {
    contents.members.push_back({entry,
                                {},
                                data.size(),
                                tar_error.empty() ? "holds no configuration archive" : tar_error,
                                sha256_digest(data.data(), data.size())});
  }
  if (!row) {
    add_problem(contents, entry, {}, "not an entry put_backup restores: skipped");
  } else if (walked && !found_row_member && contents.members.size() > first) {
    add_problem(contents, entry, row->member,
                "not in the entry's archive: put_backup restores nothing from it");
  }
}

bool read_zip(const source_file& file, source_contents& contents, std::string& error) {
  backup_zip_reader zip;
  if (backup_zip_open_read(zip, file.path) != 0) {
    error = "not a readable ZIP archive";
    return false;
  }
  std::map<std::string, unsigned> seen;
  restore_state restore{contents, {}};
  std::uint64_t unpacked = 0;
  const std::uint64_t count = backup_zip_count(zip);
  for (std::uint64_t i = 0; i < count; ++i) {
    backup_zip_entry entry;
    if (backup_zip_stat(zip, i, entry) != 0 || entry.directory) continue;
    if (++seen[entry.name] == 2 && backup_restore_lookup(entry.name)) {
      add_problem(contents, entry.name, {},
                  "entry named more than once: put_backup restores each in turn, the last "
                  "one stays");
    }
    std::vector<std::uint8_t> data;
    if (backup_zip_read(zip, i, data) != 0) {
      contents.members.push_back(
          {entry.name, {}, 0, "cannot be extracted (damaged, or over 64 MiB)", {}});
      continue;
    }
    unpacked += data.size();
    if (unpacked > kSourceUnpackedMax) {
      error = text_format("unpacks to more than %llu MiB: too large to be a backup",
                          static_cast<unsigned long long>(kSourceUnpackedMax >> 20));
      return false;
    }
    read_entry(entry.name, data, contents, restore);
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

bool read_contents(const source_file& file, source_contents& contents, std::string& error) {
  contents = {};
  switch (file.kind) {
    case source_kind::config_tar:
      return read_tar(file.bytes, contents, error);
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
      return read_zip(file, contents, error);
    default:
      error = std::string("a ") + source_kind_name(file.kind) + " holds no channel configuration";
      return false;
  }
}

const found_channel_file* find_channel_file(const source_contents& contents, unsigned channel,
                                            channel_file_kind kind) {
  for (const found_channel_file& f : contents.files) {
    if (f.channel == channel && f.kind == kind) return &f;
  }
  return nullptr;
}

bool load_channel(const std::string& path, unsigned channel, loaded_channel& loaded,
                  std::string& error) {
  loaded = {};
  source_file file;
  source_contents contents;
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
