#include "sim/config_files.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace korvan {

uint16_t load_u16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t load_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void store_u16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}

void store_u32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint16_t config_crc16(const uint8_t* data, size_t length) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
  }
  return crc;
}

namespace {

constexpr std::array<LayoutRow, 4> kFirmwareLayouts{{
    {"1.0.0", 0},
    {"1.3.0", 1},
    {"1.3.1", 2},
    {"1.5.0", 3},
}};

constexpr std::array<LayoutRow, 3> kCdRestoreLayouts{{
    {"1.0.0", 0},
    {"1.3.1", 2},
    {"2.2.4", 3},
}};

constexpr std::array<ConfigName, 18> kConfigs{{
    {"systemconfig", "/etc/config/system/systemconfig.bin", ConfigKind::opaque, 0, 2048},
    {"schedules", "/etc/config/schedule/schedule.bin", ConfigKind::opaque, 0, 4608},
    {"rlc", "/etc/config/rlc/rlc.bin", ConfigKind::opaque, 0, 1536},
    {"dali1", "/etc/config/dali/dali1.bin", ConfigKind::gear, 1, 0},
    {"dali2", "/etc/config/dali/dali2.bin", ConfigKind::gear, 2, 0},
    {"dali3", "/etc/config/dali/dali3.bin", ConfigKind::gear, 3, 0},
    {"dali4", "/etc/config/dali/dali4.bin", ConfigKind::gear, 4, 0},
    {"cd1", "/etc/config/dali/cd1.bin", ConfigKind::device, 1, 0},
    {"cd2", "/etc/config/dali/cd2.bin", ConfigKind::device, 2, 0},
    {"cd3", "/etc/config/dali/cd3.bin", ConfigKind::device, 3, 0},
    {"cd4", "/etc/config/dali/cd4.bin", ConfigKind::device, 4, 0},
    {"system_ui32", "/etc/config/nvp/system_ui32.bin", ConfigKind::opaque, 0, 1024},
    {"dalv", "/etc/config/nvp/dalv.bin", ConfigKind::opaque, 0, 512},
    {"daeu", "/etc/config/nvp/daeu.bin", ConfigKind::opaque, 0, 768},
    {"daeutr", "/etc/config/nvp/daeutr.bin", ConfigKind::opaque, 0, 384},
    {"daeutc", "/etc/config/nvp/daeutc.bin", ConfigKind::opaque, 0, 384},
    {"dacdlcm", "/etc/config/nvp/dacdlcm.bin", ConfigKind::opaque, 0, 640},
    {"dacdlcr", "/etc/config/nvp/dacdlcr.bin", ConfigKind::opaque, 0, 640},
}};

// Gear file regions per layout version (index 1..3).
struct GearLayout {
  size_t length;
  size_t entry_size;
  size_t group_offset;
  size_t name_offset;       // within an entry
  size_t config_dt_offset;  // within an entry; layout 1 has none and its device type byte serves
  uint8_t cleared_address;  // address byte of an entry without short address
};
constexpr size_t kGearEntriesOffset = 60;
constexpr size_t kGearEntryCount = 64;
constexpr size_t kGroupEntrySize = 38;
constexpr size_t kGroupCount = 16;
constexpr size_t kGearNameSize = 33;
constexpr std::array<GearLayout, 4> kGearLayouts{{
    {0, 0, 0, 0, 0, 0},
    {11168, 152, 9788, 94, 42, 0},
    {10912, 160, 10300, 106, 44, 0},
    {7072, 100, 6460, 45, 43, 255},
}};

// gear_entry fields shared by every layout.
constexpr size_t kEntryFlags = 0;
constexpr size_t kEntryLevel1 = 5;
constexpr size_t kLevelCount = 4;
constexpr size_t kEntryFadeRate = 9;
constexpr size_t kEntryFadeTime = 10;
constexpr size_t kEntryAddress = 11;
constexpr size_t kEntryGroups = 18;
constexpr size_t kEntryScenes = 20;
constexpr size_t kSceneCount = 16;
constexpr size_t kEntryDeviceType = 42;

// Device file regions (layouts 2 and 3).
constexpr size_t kChannelValueOffset = 16;
constexpr size_t kDeviceEntriesOffset = 28;
constexpr size_t kDeviceEntrySize = 100;
constexpr size_t kDeviceCount = 32;
constexpr size_t kInstanceBlocksOffset = 3228;
constexpr size_t kDevFlags = 0;
constexpr size_t kDevAddress = 8;
constexpr size_t kDevInstanceCount = 10;
constexpr size_t kDevInstances = 16;
constexpr size_t kDevName = 80;
constexpr size_t kDevNameSize = 17;
constexpr size_t kMaxInstances = 32;
constexpr uint8_t kPushButton = 1;
constexpr uint8_t kOccupancySensor = 3;
constexpr uint8_t kLightSensor = 4;

// Instance blocks per device file layout version (index 2..3). Layout 3 gives
// every instance a 6-byte slot; layout 2 overlays one array per instance
// type, each packed at its own record size.
struct DeviceLayout {
  size_t length;
  size_t block_size;
  size_t push_button_value;  // within a block: the device-wide push-button byte
  size_t records_offset;     // within a block
  size_t record_stride;      // 0: the instance type's record size
};
constexpr std::array<DeviceLayout, 4> kDeviceLayouts{{
    {0, 0, 0, 0, 0},
    {0, 0, 0, 0, 0},
    {9436, 194, 192, 0, 0},
    {9564, 198, 1, 6, 6},
}};

// Bytes of an instance record that its type uses; 0 for a type without one.
size_t record_size(uint8_t type) {
  switch (type) {
    case kPushButton:
      return 6;
    case kOccupancySensor:
      return 4;
    case kLightSensor:
      return 3;
  }
  return 0;
}

// Where the record of instance `j` starts within its device's instance block.
size_t record_offset(const DeviceLayout& layout, uint8_t type, size_t j) {
  return layout.records_offset +
         j * (layout.record_stride ? layout.record_stride : record_size(type));
}

// Small deterministic generator, so every controller starts with the same bytes.
struct Xorshift {
  uint32_t state;
  uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
};

uint32_t name_seed(std::string_view name) {
  uint32_t h = 2166136261u;
  for (char c : name) h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
  return h ? h : 1;
}

void put_text(uint8_t* field, size_t width, const std::string& text) {
  std::memset(field, 0, width);
  std::memcpy(field, text.data(), std::min(text.size(), width - 1));
}

std::vector<uint8_t> make_gear_file(unsigned channel, uint32_t version) {
  const GearLayout& layout = kGearLayouts[version];
  std::vector<uint8_t> file(layout.length, 0);
  uint8_t* f = file.data();
  store_u32(f + kChannelValueOffset, 1);
  static const char* kFixtures[] = {"Downlight", "Panel", "Wallwasher", "Spot", "Strip"};
  const size_t assigned = 6 + 3 * channel;  // a partly used bus, different per channel
  for (size_t i = 0; i < kGearEntryCount; ++i) {
    uint8_t* e = f + kGearEntriesOffset + i * layout.entry_size;
    std::memset(e + kEntryScenes, 255, 16);
    if (i >= assigned) {
      e[kEntryAddress] = layout.cleared_address;
      e[kEntryLevel1] = 255;
      e[kEntryLevel1 + 1] = 255;
      e[kEntryDeviceType] = 255;
      e[layout.config_dt_offset] = 255;
      continue;
    }
    const uint8_t device_type = (i % 5 == 4) ? 8 : 6;  // mostly LED modules, some colour control
    store_u32(e + kEntryFlags, 1);
    e[kEntryLevel1] = 254;      // power-on level
    e[kEntryLevel1 + 1] = 254;  // system failure level
    e[kEntryLevel1 + 2] = 1;    // minimum
    e[kEntryLevel1 + 3] = 254;  // maximum
    e[kEntryFadeRate] = 7;
    e[kEntryFadeTime] = static_cast<uint8_t>(i % 4);
    e[kEntryAddress] = static_cast<uint8_t>(2 * i + 1);
    store_u16(e + kEntryGroups, static_cast<uint16_t>((1u << (i % 4)) | (i < 4 ? 0x8000u : 0u)));
    e[kEntryScenes + 0] = 254;
    e[kEntryScenes + 1] = static_cast<uint8_t>(64 + 16 * (i % 8));
    e[kEntryScenes + 2] = 0;
    e[kEntryDeviceType] = device_type;
    e[layout.config_dt_offset] = device_type;
    char name[40];
    std::snprintf(name, sizeof name, "C%u %s %02zu", channel, kFixtures[i % 5], i + 1);
    put_text(e + layout.name_offset, kGearNameSize, name);
  }
  static const char* kGroups[] = {"Entrance", "Open office", "Meeting room", "Corridor"};
  for (size_t g = 0; g < kGroupCount; ++g) {
    uint8_t* entry = f + layout.group_offset + g * kGroupEntrySize;
    if (g < 4)
      put_text(entry, kGearNameSize, std::string(kGroups[g]) + " " + std::to_string(channel));
    if (g == 15) put_text(entry, kGearNameSize, "All lights " + std::to_string(channel));
  }
  seal_config_header(file, version);
  return file;
}

std::vector<uint8_t> make_device_file(unsigned channel, uint32_t version) {
  if (version == 1) {
    // Version-1 device files are not interpreted by anyone but the controller.
    std::vector<uint8_t> file(kDeviceV1Length, 0);
    Xorshift rng{name_seed("cd-v1") + channel};
    for (size_t i = kHeaderSize; i < file.size(); ++i) file[i] = static_cast<uint8_t>(rng.next());
    seal_config_header(file, 1);
    return file;
  }
  const DeviceLayout& layout = kDeviceLayouts[version];
  std::vector<uint8_t> file(layout.length, 0);
  uint8_t* f = file.data();
  store_u32(f + kChannelValueOffset, 1);
  const size_t devices = 2 + channel;
  for (size_t d = 0; d < kDeviceCount; ++d) {
    uint8_t* e = f + kDeviceEntriesOffset + d * kDeviceEntrySize;
    if (d >= devices) {
      e[kDevAddress] = 255;
      continue;
    }
    uint8_t* block = f + kInstanceBlocksOffset + d * layout.block_size;
    store_u32(e + kDevFlags, 1);
    e[kDevAddress] = static_cast<uint8_t>(2 * d + 1);
    char name[20];
    if (d % 2 == 0) {
      // A four-button keypad.
      e[kDevInstanceCount] = 4;
      for (size_t j = 0; j < 4; ++j) {
        e[kDevInstances + 2 * j] = kPushButton;
        e[kDevInstances + 2 * j + 1] = static_cast<uint8_t>(j);
        uint8_t* rec = block + record_offset(layout, kPushButton, j);
        rec[1] = static_cast<uint8_t>(j);  // target group
        rec[2] = 2;                        // short press: toggle
        rec[3] = 5;                        // long press: dim
      }
      block[layout.push_button_value] = 50;
      std::snprintf(name, sizeof name, "Keypad %u.%zu", channel, d + 1);
    } else {
      // A ceiling sensor: occupancy plus daylight.
      e[kDevInstanceCount] = 2;
      e[kDevInstances + 0] = kOccupancySensor;
      e[kDevInstances + 2] = kLightSensor;
      uint8_t* occ = block + record_offset(layout, kOccupancySensor, 0);
      uint8_t* light = block + record_offset(layout, kLightSensor, 1);
      occ[1] = 1;
      occ[2] = 15;  // hold time, minutes
      light[1] = 1;
      light[2] = 30;
      std::snprintf(name, sizeof name, "Sensor %u.%zu", channel, d + 1);
    }
    put_text(e + kDevName, kDevNameSize, name);
  }
  seal_config_header(file, version);
  return file;
}

// A name field read up to its first NUL, never past the field.
std::string get_text(const uint8_t* field, size_t width) {
  const char* text = reinterpret_cast<const char*>(field);
  return std::string(text, strnlen(text, width));
}

bool fail(std::string* error, std::string reason) {
  if (error) *error = std::move(reason);
  return false;
}

// Reads the header into `info` and checks that the file is complete for the
// fixed-size layout it names; `length_of` gives that size per version.
template <typename Info>
bool read_fixed_header(const std::vector<uint8_t>& file, size_t (*length_of)(uint32_t), Info& info,
                       std::string* error) {
  if (file.size() < kHeaderSize)
    return fail(error,
                "file of " + std::to_string(file.size()) + " bytes is too short for its header");
  const uint8_t* f = file.data();
  info.length = load_u32(f + kHeaderLengthOffset);
  info.checksum = load_u32(f + kHeaderChecksumOffset);
  info.version = load_u32(f + kHeaderVersionOffset);
  info.counter = load_u32(f + kHeaderCounterOffset);
  const std::string version = std::to_string(info.version);
  const size_t expected = length_of(info.version);
  if (expected == 0)
    return fail(error, info.version == 1 ? "layout version 1 has no fixed layout to decode"
                                         : "unknown layout version " + version);
  const std::string needs = "layout version " + version + " needs " + std::to_string(expected);
  if (info.length != expected)
    return fail(error, needs + " bytes, length field says " + std::to_string(info.length));
  if (file.size() != expected)
    return fail(error, needs + " bytes, file has " + std::to_string(file.size()));
  info.channel_value = load_u32(f + kChannelValueOffset);
  return true;
}

std::vector<uint8_t> make_opaque_file(const ConfigName& config) {
  std::vector<uint8_t> file(config.opaque_size);
  Xorshift rng{name_seed(config.name)};
  for (auto& b : file) b = static_cast<uint8_t>(rng.next() >> 24);
  return file;
}

}  // namespace

const std::span<const LayoutRow> firmware_layout_table{kFirmwareLayouts};
const std::span<const LayoutRow> cd_restore_layout_table{kCdRestoreLayouts};

int layout_for_firmware(std::span<const LayoutRow> table, std::string_view version) {
  int index = 0;
  for (const LayoutRow& row : table) {
    // string_view compares char_traits<char>, which orders bytes as unsigned.
    if (std::string_view(row.version) <= version) index = row.index;
  }
  return index;
}

uint32_t layout_version(int index) {
  return index <= 1 ? 1 : static_cast<uint32_t>(index);
}

size_t gear_file_length(uint32_t version) {
  return version >= 1 && version <= 3 ? kGearLayouts[version].length : 0;
}

size_t device_file_length(uint32_t version) {
  return version >= 2 && version <= 3 ? kDeviceLayouts[version].length : 0;
}

std::span<const ConfigName> config_names() {
  return kConfigs;
}

const ConfigName* find_config_by_name(std::string_view name) {
  for (const ConfigName& c : kConfigs)
    if (name == c.name) return &c;
  return nullptr;
}

const ConfigName* find_config_by_path(std::string_view path) {
  for (const ConfigName& c : kConfigs)
    if (path == c.path) return &c;
  return nullptr;
}

void seal_config_header(std::vector<uint8_t>& file, uint32_t version) {
  if (file.size() < kHeaderSize) return;
  store_u32(file.data() + kHeaderLengthOffset, static_cast<uint32_t>(file.size()));
  store_u32(file.data() + kHeaderVersionOffset, version);
  store_u32(file.data() + kHeaderChecksumOffset, 0);
  store_u32(file.data() + kHeaderChecksumOffset, config_crc16(file.data(), file.size()));
}

std::vector<uint8_t> make_config_file(const ConfigName& config, const std::string& firmware) {
  switch (config.kind) {
    case ConfigKind::gear:
      return make_gear_file(config.channel,
                            layout_version(layout_for_firmware(firmware_layout_table, firmware)));
    case ConfigKind::device:
      return make_device_file(
          config.channel, layout_version(layout_for_firmware(cd_restore_layout_table, firmware)));
    case ConfigKind::opaque:
      break;
  }
  return make_opaque_file(config);
}

bool decode_gear_file(const std::vector<uint8_t>& file, GearFileInfo& info, std::string* error) {
  if (!read_fixed_header(file, gear_file_length, info, error)) return false;
  const GearLayout& layout = kGearLayouts[info.version];
  info.entries.clear();
  for (size_t i = 0; i < kGearEntryCount; ++i) {
    const uint8_t* e = file.data() + kGearEntriesOffset + i * layout.entry_size;
    GearEntryInfo& entry = info.entries.emplace_back();
    entry.index = static_cast<unsigned>(i);
    entry.flags = load_u32(e + kEntryFlags);
    entry.address = e[kEntryAddress];
    std::copy_n(e + kEntryLevel1, kLevelCount, entry.levels.begin());
    entry.fade_rate = e[kEntryFadeRate];
    entry.fade_time = e[kEntryFadeTime];
    entry.groups = load_u16(e + kEntryGroups);
    std::copy_n(e + kEntryScenes, kSceneCount, entry.scenes.begin());
    entry.device_type = e[kEntryDeviceType];
    entry.configured_type = e[layout.config_dt_offset];
    entry.name = get_text(e + layout.name_offset, kGearNameSize);
  }
  for (size_t g = 0; g < kGroupCount; ++g)
    info.group_names[g] =
        get_text(file.data() + layout.group_offset + g * kGroupEntrySize, kGearNameSize);
  return true;
}

bool decode_device_file(const std::vector<uint8_t>& file, DeviceFileInfo& info,
                        std::string* error) {
  if (!read_fixed_header(file, device_file_length, info, error)) return false;
  const DeviceLayout& layout = kDeviceLayouts[info.version];
  info.devices.clear();
  for (size_t d = 0; d < kDeviceCount; ++d) {
    const uint8_t* e = file.data() + kDeviceEntriesOffset + d * kDeviceEntrySize;
    const uint8_t* block = file.data() + kInstanceBlocksOffset + d * layout.block_size;
    DeviceInfo& device = info.devices.emplace_back();
    device.index = static_cast<unsigned>(d);
    device.flags = load_u32(e + kDevFlags);
    device.address = e[kDevAddress];
    device.instance_count = e[kDevInstanceCount];
    device.push_button_value = block[layout.push_button_value];
    device.name = get_text(e + kDevName, kDevNameSize);
    const size_t count = std::min<size_t>(device.instance_count, kMaxInstances);
    for (size_t j = 0; j < count; ++j) {
      InstanceInfo& instance = device.instances.emplace_back();
      instance.type = e[kDevInstances + 2 * j];
      instance.value = e[kDevInstances + 2 * j + 1];
      const uint8_t* rec = block + record_offset(layout, instance.type, j);
      instance.record.assign(rec, rec + record_size(instance.type));
    }
  }
  return true;
}

std::string describe_config_file(const ConfigName& config, const std::vector<uint8_t>& data) {
  if (config.kind == ConfigKind::opaque || data.size() < kHeaderSize) return {};
  return "layout " + std::to_string(load_u32(data.data() + kHeaderVersionOffset)) +
         ", conversion counter " + std::to_string(load_u32(data.data() + kHeaderCounterOffset));
}

namespace {

// "address A (short S)", or "(no short address)" when the byte is not
// 2 * S + 1 for a short address 0..63 (cleared entries hold 0 or 255).
std::string address_text(uint8_t address) {
  std::string text = "address " + std::to_string(address);
  if ((address & 1) && address < 128) return text + " (short " + std::to_string(address >> 1) + ")";
  return text + " (no short address)";
}

const char* instance_type_name(uint8_t type) {
  switch (type) {
    case kPushButton:
      return "push button";
    case kOccupancySensor:
      return "occupancy";
    case kLightSensor:
      return "light";
  }
  return nullptr;
}

std::string gear_entry_text(const ConfigName& config, const GearEntryInfo& e) {
  std::string groups;
  for (unsigned g = 0; g < kGroupCount; ++g)
    if (e.groups & (1u << g)) groups += (groups.empty() ? "" : ",") + std::to_string(g);
  std::string scenes;
  for (uint8_t level : e.scenes) scenes += (scenes.empty() ? "" : ",") + std::to_string(level);
  char levels[32];
  std::snprintf(levels, sizeof levels, "%u/%u/%u/%u", e.levels[0], e.levels[1], e.levels[2],
                e.levels[3]);
  return std::string(config.name) + " entry " + std::to_string(e.index) + ": " +
         address_text(e.address) + ", name \"" + e.name + "\", groups [" + groups + "], levels " +
         levels + ", fade rate " + std::to_string(e.fade_rate) + ", fade time " +
         std::to_string(e.fade_time) + ", scenes [" + scenes + "]";
}

std::string device_text(const ConfigName& config, const DeviceInfo& d) {
  std::string instances;
  for (const InstanceInfo& instance : d.instances) {
    if (!instances.empty()) instances += ", ";
    const char* type = instance_type_name(instance.type);
    instances += type ? type : "type " + std::to_string(instance.type);
    instances += " " + std::to_string(instance.value);
    if (!instance.record.empty()) instances += ":";
    for (uint8_t b : instance.record) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02x", b);
      instances += hex;
    }
  }
  char flags[16];
  std::snprintf(flags, sizeof flags, "0x%x", d.flags);
  return std::string(config.name) + " device " + std::to_string(d.index) + ": " +
         address_text(d.address) + ", name \"" + d.name + "\", flags " + flags + ", instances [" +
         instances + "], push-button value " + std::to_string(d.push_button_value);
}

}  // namespace

std::vector<std::string> describe_contents(const ConfigName& config,
                                           const std::vector<uint8_t>& data) {
  std::vector<std::string> lines;
  if (config.kind == ConfigKind::gear) {
    GearFileInfo info;
    if (!decode_gear_file(data, info, nullptr)) return lines;
    for (const GearEntryInfo& e : info.entries)
      if ((e.flags & 1) || !e.name.empty()) lines.push_back(gear_entry_text(config, e));
    for (unsigned g = 0; g < kGroupCount; ++g)
      if (!info.group_names[g].empty())
        lines.push_back(std::string(config.name) + " group " + std::to_string(g) + ": \"" +
                        info.group_names[g] + "\"");
  } else if (config.kind == ConfigKind::device) {
    DeviceFileInfo info;
    if (!decode_device_file(data, info, nullptr)) return lines;
    // A device slot nobody wrote is all zeros or has the cleared address 255;
    // anything else in it is worth showing.
    for (const DeviceInfo& d : info.devices) {
      const bool short_address = (d.address & 1) && d.address < 128;
      if (d.flags || short_address || !d.name.empty() || d.instance_count)
        lines.push_back(device_text(config, d));
    }
  }
  return lines;
}

std::string check_config_file(const ConfigName& config, const std::vector<uint8_t>& data,
                              const std::string& firmware) {
  if (data.empty()) return "empty file";
  if (data.size() > kMaxConfigFile)
    return "file of " + std::to_string(data.size()) + " bytes is too large";
  if (config.kind == ConfigKind::opaque) return {};

  if (data.size() < kHeaderSize) return "file too short for its header";
  const uint32_t length = load_u32(data.data() + kHeaderLengthOffset);
  const uint32_t checksum = load_u32(data.data() + kHeaderChecksumOffset);
  const uint32_t version = load_u32(data.data() + kHeaderVersionOffset);
  if (length != data.size())
    return "length field " + std::to_string(length) + " does not match the file size " +
           std::to_string(data.size());

  const bool gear = config.kind == ConfigKind::gear;
  const size_t expected = gear ? gear_file_length(version) : device_file_length(version);
  // Version-1 device files have no fixed size; the header only has to agree with itself.
  const bool any_length = !gear && version == 1;
  if (!any_length) {
    if (expected == 0) return "unknown layout version " + std::to_string(version);
    if (expected != length)
      return "layout version " + std::to_string(version) + " needs " + std::to_string(expected) +
             " bytes, file has " + std::to_string(length);
  }

  std::vector<uint8_t> copy(data);
  store_u32(copy.data() + kHeaderChecksumOffset, 0);
  const uint16_t crc = config_crc16(copy.data(), copy.size());
  if (checksum != crc) {
    char text[80];
    std::snprintf(text, sizeof text, "checksum 0x%08x does not verify (expected 0x%04x)", checksum,
                  crc);
    return text;
  }

  const uint32_t allowed = layout_version(layout_for_firmware(firmware_layout_table, firmware));
  if (version > allowed)
    return "layout version " + std::to_string(version) + " is newer than firmware " + firmware +
           " supports (" + std::to_string(allowed) + ")";
  return {};
}

}  // namespace korvan
