#include "channel/channel_file.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "platform/console.h"

namespace torvi {
namespace {

constexpr const char* kTag = "backup";

constexpr layout_row kFirmwareLayouts[] = {
    {"1.0.0", 0},
    {"1.3.0", 1},
    {"1.3.1", 2},
    {"1.5.0", 3},
};

constexpr layout_row kCdRestoreLayouts[] = {
    {"1.0.0", 0},
    {"1.3.1", 2},
    {"2.2.4", 3},
};

constexpr gear_layout kGearLayouts[] = {
    {1, gear1::kLength, gear1::kEntrySize, gear1::kGroups, gear1::kTrailer, gear1::kName},
    {2, gear2::kLength, gear2::kEntrySize, gear2::kGroups, gear2::kTrailer, gear2::kName},
    {3, gear3::kLength, gear3::kEntrySize, gear3::kGroups, gear3::kTrailer, gear3::kName},
};

// Sets the version (and, when asked, the length) of a buffer and seals it,
// then writes it as one member of the archive being built.
int write_member(tar_stream& stream, const std::string& name, std::uint8_t* file,
                 std::uint32_t version, std::uint32_t length, bool set_length) {
  config_header header = config_header_load(file);
  header.version = version;
  if (set_length) header.length = length;
  config_header_store(file, header);
  config_seal(file, length);
  if (tar_write_file_header(stream, name, length) != TAR_OK) {
    console_out("%s\terror writing file '%s' header.\r\n", kTag, name.c_str());
    return 1;
  }
  if (tar_write_data(stream, std::span<const std::uint8_t>(file, length)) != TAR_OK) {
    console_out("%s\terror writing file '%s' data.\r\n", kTag, name.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

std::uint16_t load_u16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t load_u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void store_u16(std::uint8_t* p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

void store_u32(std::uint8_t* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

config_header config_header_load(const std::uint8_t* file) {
  return {load_u32(file + kHeaderLength), load_u32(file + kHeaderChecksum),
          load_u32(file + kHeaderVersion), load_u32(file + kHeaderCounter)};
}

void config_header_store(std::uint8_t* file, const config_header& header) {
  store_u32(file + kHeaderLength, header.length);
  store_u32(file + kHeaderChecksum, header.checksum);
  store_u32(file + kHeaderVersion, header.version);
  store_u32(file + kHeaderCounter, header.counter);
}

std::uint16_t config_crc16(const std::uint8_t* bytes, std::size_t length) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
    }
  }
  return crc;
}

void config_seal(std::uint8_t* file, std::size_t length) {
  store_u32(file + kHeaderChecksum, 0);
  store_u32(file + kHeaderChecksum, config_crc16(file, length));
}

const gear_layout& gear_layout_of(std::uint32_t version) {
  return version == 2 || version == 3 ? kGearLayouts[version - 1] : kGearLayouts[0];
}

const std::span<const layout_row> firmware_layout_table{kFirmwareLayouts};
const std::span<const layout_row> cd_restore_layout_table{kCdRestoreLayouts};

int layout_for_firmware(std::span<const layout_row> table, std::string_view version) {
  int index = 0;
  for (const layout_row& row : table) {
    // string_view compares through char_traits<char>, which orders the
    // bytes as unsigned values, a prefix first.
    if (std::string_view(row.version) <= version) index = row.index;
  }
  return index;
}

std::uint32_t layout_version(int index) {
  return index <= 1 ? 1 : static_cast<std::uint32_t>(index);
}

bool read_config_member(std::span<const std::uint8_t> archive, const char* name, const char* tag,
                        std::vector<std::uint8_t>& data) {
  tar_stream reader;
  tar_open_memory_reader(reader, archive.data(), archive.size());
  tar_header header;
  if (tar_find(reader, name, &header) != TAR_OK) {
    console_out("%s\terror '%s' file not found.\r\n", tag, name);
    return false;
  }
  if (header.size == 0) {
    console_out("%s\terror '%s' file size error\r\n", tag, name);
    return false;
  }
  if (tar_check_member(reader, header) == TAR_OK) {
    try {
      data.assign(header.size, 0);
    } catch (const std::bad_alloc&) {
      data = {};
      return false;
    }
    if (tar_read_data(reader, data) == TAR_OK) return true;
  }
  data = {};
  console_out("%s\terror reading '%s'\r\n", tag, name);
  return false;
}

int read_gear_file(std::span<const std::uint8_t> archive, unsigned channel,
                   channel_record& record) {
  record.gear.fill(0);
  std::string name;
  if (format_text(name, "/etc/config/dali/dali%u.bin", channel) < 0) return 1;
  std::vector<std::uint8_t> data;
  if (!read_config_member(archive, name.c_str(), kTag, data)) return 1;
  std::copy_n(data.begin(), std::min(data.size(), record.gear.size()), record.gear.begin());
  return 0;
}

int write_gear_file(tar_stream& stream, const char* firmware_version, unsigned channel,
                    channel_record& record) {
  if (!firmware_version || channel == 0) return 1;
  std::string name;
  if (format_text(name, "/etc/config/dali/dali%u.bin", channel) < 0) return 1;
  const std::uint32_t version =
      layout_version(layout_for_firmware(firmware_layout_table, firmware_version));
  const gear_layout& layout = gear_layout_of(version);
  const bool unset = load_u32(record.gear.data() + kHeaderLength) == 0;
  return write_member(stream, name, record.gear.data(), version,
                      static_cast<std::uint32_t>(layout.length), unset);
}

int write_device_file(tar_stream& stream, const char* firmware_version, unsigned channel,
                      channel_record& record) {
  if (!firmware_version || channel == 0) return 1;
  std::string name;
  if (format_text(name, "/etc/config/dali/cd%u.bin", channel) < 0) return 1;
  if (layout_for_firmware(firmware_layout_table, firmware_version) != 3) {
    console_out("%s\terror version %s not supported.\r\n", kTag, firmware_version);
    return CHANNEL_LAYOUT_UNSUPPORTED;
  }
  return write_member(stream, name, record.device.data(), 3,
                      static_cast<std::uint32_t>(device3::kLength), true);
}

}  // namespace torvi
