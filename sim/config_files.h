#pragma once
// The controller's configuration files: the 18 names it serves, where each
// lives in the controller, the channel file header and layouts, and the rules
// a file must meet before the controller takes it in a restore.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvan {

// Explicit little-endian access, so no layout depends on the host's struct packing.
uint16_t load_u16(const uint8_t* p);
uint32_t load_u32(const uint8_t* p);
void store_u16(uint8_t* p, uint16_t value);
void store_u32(uint8_t* p, uint32_t value);

// CRC-16/MCRF4XX (reflected 0x1021, start 0xFFFF, no final XOR): the channel
// files' checksum.
uint16_t config_crc16(const uint8_t* data, size_t length);

// One row of a firmware version table: versions at or above `version` (compared
// as plain text) use layout index `index` (0 and 1 both mean layout version 1).
struct LayoutRow {
  const char* version;
  int index;
};

extern const std::span<const LayoutRow> firmware_layout_table;    // gear files, restore limit
extern const std::span<const LayoutRow> cd_restore_layout_table;  // device files

// Index of the last row whose version is not above `version` in byte-wise
// order; 0 when the version sorts below every row.
int layout_for_firmware(std::span<const LayoutRow> table, std::string_view version);
// The file layout version (1..3) that a layout index stands for.
uint32_t layout_version(int index);

// Common 16-byte header of every gear and device file.
inline constexpr size_t kHeaderLengthOffset = 0;
inline constexpr size_t kHeaderChecksumOffset = 4;
inline constexpr size_t kHeaderVersionOffset = 8;
inline constexpr size_t kHeaderCounterOffset = 12;
inline constexpr size_t kHeaderSize = 16;

// File sizes per layout version; 0 for a version the controller does not know.
// Version-1 device files are carried as opaque bytes and have no fixed size.
size_t gear_file_length(uint32_t version);
size_t device_file_length(uint32_t version);
inline constexpr size_t kDeviceV1Length = 8256;  // size of the version-1 device files we generate

enum class ConfigKind { opaque, gear, device };

// One of the controller's 18 configurations.
struct ConfigName {
  const char* name;  // as in backup.ssi?config=NAME
  const char* path;  // the member name in archives, with its leading "/"
  ConfigKind kind;
  unsigned channel;    // 1..4 for gear and device files, else 0
  size_t opaque_size;  // size of the generated file for opaque configurations
};

// The 18 configurations in the order the tool fetches them by default.
std::span<const ConfigName> config_names();
const ConfigName* find_config_by_name(std::string_view name);
const ConfigName* find_config_by_path(std::string_view path);

// Fills in length, version and checksum of a gear or device file whose body
// is complete; the conversion counter is left as it is.
void seal_config_header(std::vector<uint8_t>& file, uint32_t version);

// The file a controller on `firmware` starts with: channel files in the
// layout its firmware selects, with realistic content and a correct header;
// the other configurations as deterministic opaque bytes.
std::vector<uint8_t> make_config_file(const ConfigName& config, const std::string& firmware);

// Empty when `data` may replace the stored configuration on a controller
// running `firmware`; otherwise the reason it is refused.
std::string check_config_file(const ConfigName& config, const std::vector<uint8_t>& data,
                              const std::string& firmware);

// One of the 64 entries of a gear file, as the controller reads it.
struct GearEntryInfo {
  unsigned index;
  uint32_t flags;   // bit 0: short address assigned
  uint8_t address;  // 2 * short address + 1 when assigned
  std::array<uint8_t, 4> levels;
  uint8_t fade_rate, fade_time;
  uint16_t groups;                 // bit g: member of group g
  std::array<uint8_t, 16> scenes;  // 255: not in the scene
  uint8_t device_type;
  uint8_t configured_type;  // layout 1 has no field of its own and repeats device_type
  std::string name;
};

struct GearFileInfo {
  uint32_t length, checksum, version, counter, channel_value;
  std::vector<GearEntryInfo> entries;  // all 64
  std::array<std::string, 16> group_names;
};

// One instance of a control device, with the record its type owns in the
// device's instance block.
struct InstanceInfo {
  uint8_t type;
  uint8_t value;
  std::vector<uint8_t> record;  // the bytes its type uses: 6, 4 or 3; empty for another type
};

struct DeviceInfo {
  unsigned index;
  uint32_t flags;   // bit 0: short address assigned
  uint8_t address;  // 2 * short address + 1, or 255
  uint8_t instance_count;
  uint8_t push_button_value;
  std::string name;
  std::vector<InstanceInfo> instances;  // the first min(instance_count, 32)
};

struct DeviceFileInfo {
  uint32_t length, checksum, version, counter, channel_value;
  std::vector<DeviceInfo> devices;  // all 32
};

// False with a reason when the bytes are not a complete gear/device file of a
// layout the controller knows (too short, unknown version, length field or
// size disagreeing with the version's length). The checksum is reported, not
// checked: check_config_file decides what a restore takes.
bool decode_gear_file(const std::vector<uint8_t>& file, GearFileInfo& info, std::string* error);
bool decode_device_file(const std::vector<uint8_t>& file, DeviceFileInfo& info, std::string* error);

// "layout V, conversion counter C" for a gear or device file with a readable
// header (version-1 device files included); empty for other configurations or
// files shorter than the header.
std::string describe_config_file(const ConfigName& config, const std::vector<uint8_t>& data);

// What a decoded gear or device file holds, one line per item a technician
// would check after a restore: every gear entry with a short address or a
// name, then every named group; every control device with flags, a short
// address, a name or instances, and those instances. Empty for version-1 device files, opaque
// configurations and files that do not decode.
std::vector<std::string> describe_contents(const ConfigName& config,
                                           const std::vector<uint8_t>& data);

// Largest configuration file a restore takes; real ones are a few kilobytes.
inline constexpr size_t kMaxConfigFile = 1u << 20;

}  // namespace korvan
