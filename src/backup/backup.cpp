#include "backup/backup.h"

#include <new>
#include <vector>

#include "json/json_parser.h"
#include "link/transfers.h"
#include "platform/console.h"

namespace torvi {
namespace {

constexpr const char* kTag = "backup";
constexpr const char* kStatusMember = "status.txt";

struct Listing {
  int status = 0;  // 0 when the end marker was reached
  int members = 0;
};

// Prints the members of the archive at the reader's start.
Listing list_members(tar_stream& reader) {
  Listing listing;
  console_out("%s\tbackup file contains: \r\n", kTag);
  for (;;) {
    tar_header header;
    int code = tar_read_header(reader, header);
    if (code == TAR_ERR_NULL_RECORD) break;
    if (code != TAR_OK) {
      console_out("\tfile error %d.\r\n", code);
      listing.status = code;
      break;
    }
    console_out("\t%s (%d bytes)\r\n", header.name.c_str(), static_cast<int>(header.size));
    code = tar_next(reader);
    if (code != TAR_OK) {
      console_out("\tfile error %d.\r\n", code);
      listing.status = code;
      break;
    }
    ++listing.members;
  }
  return listing;
}

struct Identity {
  const char* key;
  std::optional<std::string> backup_file::*field;
};

constexpr Identity kIdentity[] = {
    {"model_name", &backup_file::model_name},
    {"firmware_version", &backup_file::firmware_version},
    {"serial_number", &backup_file::serial_number},
    {"mac", &backup_file::mac},
};

constexpr backup_restore_row kRestoreTable[] = {
    {0, "systemconfig.tar", "/etc/config/system/systemconfig.bin"},
    {1, "dali1.tar", "/etc/config/dali/dali1.bin"},
    {2, "dali2.tar", "/etc/config/dali/dali2.bin"},
    {3, "dali3.tar", "/etc/config/dali/dali3.bin"},
    {4, "dali4.tar", "/etc/config/dali/dali4.bin"},
    {5, "cd1.tar", "/etc/config/dali/cd1.bin"},
    {6, "cd2.tar", "/etc/config/dali/cd2.bin"},
    {7, "cd3.tar", "/etc/config/dali/cd3.bin"},
    {8, "cd4.tar", "/etc/config/dali/cd4.bin"},
    {9, "schedules.tar", "/etc/config/schedule/schedule.bin"},
    {10, "rlc.tar", "/etc/config/rlc/rlc.bin"},
    {11, "system_ui32.tar", "/etc/config/nvp/system_ui32.bin"},
    {12, "dalv.tar", "/etc/config/nvp/dalv.bin"},
    {13, "daeu.tar", "/etc/config/nvp/daeu.bin"},
    {14, "daeutr.tar", "/etc/config/nvp/daeutr.bin"},
    {15, "daeutc.tar", "/etc/config/nvp/daeutc.bin"},
    {16, "dacdlcm.tar", "/etc/config/nvp/dacdlcm.bin"},
    {17, "dacdlcr.tar", "/etc/config/nvp/dacdlcr.bin"},
};

const char* or_null(const std::optional<std::string>& text) {
  return text ? text->c_str() : "(null)";
}

}  // namespace

void backup_read_identity(const char* text, backup_file& file) {
  JsonParser parser{};
  jp_open_string(parser, text);
  bool inside = false;
  const Identity* pending = nullptr;  // the identity key whose value is due
  for (;;) {
    int token = jp_next(parser);
    if (token == TOKEN_ERROR || token == TOKEN_DONE) break;
    if (token == TOKEN_OBJECT_BEGIN) {
      inside = true;
    } else if (token == TOKEN_OBJECT_END) {
      inside = false;
    } else if (token == TOKEN_STRING && inside) {
      const char* s = jp_get_string(parser);
      if (pending) {
        // Out of memory the value is dropped and the scan goes on.
        try {
          file.*(pending->field) = s;
        } catch (const std::bad_alloc&) {
        }
        pending = nullptr;
      } else {
        // Any other string is taken as a key; one that is none of ours
        // leaves nothing pending, so its value is read as a key in turn.
        for (const Identity& id : kIdentity) {
          if (std::string_view(s) == id.key) pending = &id;
        }
      }
    }
  }
  jp_close(parser);
}

int backup_check_file(backup_file* file) {
  if (!file || file->received.data.empty()) return 1;
  tar_stream reader;
  tar_open_memory_reader(reader, file->received.data);
  Listing listing = list_members(reader);

  int result;
  tar_header header;
  if (tar_find(reader, kStatusMember, &header) != TAR_OK) {
    console_out("%s\terror status.txt file not found.\r\n", kTag);
    result = 2;
  } else if (header.size == 0) {
    console_out("%s\terror status.txt file size error\r\n", kTag);
    result = listing.status;
  } else if (tar_check_member(reader, header) != TAR_OK) {
    // The header claims more than the archive holds: nothing is allocated
    // for a size nobody sent.
    console_out("%s\terror reading status.txt\r\n", kTag);
    result = listing.status;
  } else {
    std::vector<std::uint8_t> text;
    bool have_memory = true;
    try {
      text.resize(static_cast<size_t>(header.size) + 1);
    } catch (const std::bad_alloc&) {
      have_memory = false;
    }
    if (!have_memory) {
      result = listing.status;
    } else if (tar_read_data(reader, std::span(text.data(), header.size)) != TAR_OK) {
      console_out("%s\terror reading status.txt\r\n", kTag);
      result = listing.status;
    } else {
      text[header.size] = 0;
      backup_read_identity(reinterpret_cast<const char*>(text.data()), *file);
      console_out("%s\tmodel name: %s\r\n", kTag, or_null(file->model_name));
      console_out("%s\tfirmware version: %s\r\n", kTag, or_null(file->firmware_version));
      console_out("%s\tserial number: %s\r\n", kTag, or_null(file->serial_number));
      console_out("%s\tmac: %s\r\n", kTag, or_null(file->mac));
      result = 0;
    }
  }
  tar_close(reader);
  return listing.members < 2 ? 3 : result;
}

int backup_list_tar(tar_stream* stream) {
  if (!stream) return 1;
  tar_finalize(*stream);
  std::span<const std::uint8_t> bytes = tar_memory_data(*stream);
  tar_stream reader;
  tar_open_memory_reader(reader, bytes.data(), bytes.size());
  Listing listing = list_members(reader);
  tar_close(reader);
  return listing.status;
}

const std::span<const backup_restore_row> backup_restore_table{kRestoreTable};

const backup_restore_row* backup_restore_lookup(std::string_view entry) {
  for (const backup_restore_row& row : backup_restore_table) {
    if (entry == row.entry) return &row;
  }
  return nullptr;
}

int backup_push(const char* ip, std::span<const std::uint8_t> archive, const UploadLimits& limits) {
  if (!ip || archive.empty()) return 1;
  ImageRecord record;
  try {
    record.data.assign(archive.begin(), archive.end());
  } catch (const std::bad_alloc&) {
    return 1;
  }
  record.size = record.data.size();
  if (firmware_push_tftp(ip, record, limits) != 0) return 1;
  console_out("%s\tbackup file pushed.\n", kTag);
  if (backup_restore_request(ip) != 0) return 1;
  console_out("%s\tbackup file restore started.\n", kTag);
  return 0;
}

int backup_fetch(const char* base_url, const char* name, backup_file* file) {
  if (!base_url || !name || !file) return 1;
  *file = backup_file{};
  std::string url;
  if (format_text(url, "%s/api/v100/backup.ssi?config=%s", base_url, name) < 0) return 1;
  if (link_fetch(kTag, url.c_str(), file->received) != 0) return 1;
  return backup_check_file(file);
}

}  // namespace torvi
