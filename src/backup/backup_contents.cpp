#include "backup/backup_contents.h"

#include <map>

#include "backup/backup.h"
#include "backup/backup_zip.h"
#include "platform/console.h"
#include "tar/tar_stream.h"

namespace torvi {
namespace {

constexpr char kStatusMember[] = "status.txt";

void take_identity(std::span<const std::uint8_t> text, backup_contents& contents) {
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

// What a restore leaves on the controller so far: for each row of the
// restore table, the member that wrote its file last.
struct restore_state {
  backup_contents& contents;
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
    if (!backup_row_channel(row, channel, kind)) return;
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

void add_problem(backup_contents& contents, const std::string& entry, const std::string& member,
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
              backup_contents& contents, std::string& error, Each&& each) {
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
bool read_tar(std::span<const std::uint8_t> archive, backup_contents& contents,
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
                backup_contents& contents, restore_state& restore) {
  const backup_restore_row* row = backup_restore_lookup(entry);
  const std::size_t first = contents.members.size();
  std::string tar_error;
  bool found_row_member = false;
  const bool walked =
      walk_tar(data, entry, contents, tar_error, [&](const tar_member_view& m, std::size_t index) {
        if (!row || m.header.name == kStatusMember) return;
        if (m.header.name != row->member) {
          add_problem(contents, entry, m.header.name,
                      std::string("not restored: put_backup takes only '") + row->member +
                          "' from this entry");
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

bool read_zip(const std::string& path, backup_contents& contents, std::string& error) {
  backup_zip_reader zip;
  if (backup_zip_open_read(zip, path) != 0) {
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
    if (entry.modified && (!contents.taken || entry.modified > *contents.taken)) {
      contents.taken = entry.modified;
    }
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
    if (unpacked > kBackupUnpackedMax) {
      format_text(error, "unpacks to more than %llu MiB: too large to be a backup",
                  static_cast<unsigned long long>(kBackupUnpackedMax >> 20));
      return false;
    }
    read_entry(entry.name, data, contents, restore);
  }
  return true;
}

}  // namespace

bool backup_read_tar(std::span<const std::uint8_t> archive, backup_contents& contents,
                     std::string& error) {
  contents = {};
  return read_tar(archive, contents, error);
}

bool backup_read_zip(const std::string& path, backup_contents& contents, std::string& error) {
  contents = {};
  return read_zip(path, contents, error);
}

bool backup_row_channel(const backup_restore_row& row, unsigned& channel, channel_file_kind& kind) {
  // Rows 1 to 4 carry gear files, 5 to 8 device files.
  if (row.kind < 1 || row.kind > 8) return false;
  channel = (row.kind - 1) % 4 + 1;
  kind = row.kind <= 4 ? channel_file_kind::gear : channel_file_kind::device;
  return true;
}

const found_channel_file* find_channel_file(const backup_contents& contents, unsigned channel,
                                            channel_file_kind kind) {
  for (const found_channel_file& f : contents.files) {
    if (f.channel == channel && f.kind == kind) return &f;
  }
  return nullptr;
}

}  // namespace torvi
