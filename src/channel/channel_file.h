#pragma once
// The controller's binary channel files: the gear file "dali%u.bin" (64 gear
// entries, one per short address, and 16 groups) and the device file
// "cd%u.bin" (32 input devices with their instances). Their layout changed
// with the firmware; the offsets below are the three generations as far as
// the tool reads or writes them. Every multi-byte field is little-endian and
// fields sit at the offsets given, aligned or not. Bytes the tool does not
// interpret are carried unchanged.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "tar/tar_stream.h"

namespace torvi {

std::uint16_t load_u16(const std::uint8_t* p);
std::uint32_t load_u32(const std::uint8_t* p);
void store_u16(std::uint8_t* p, std::uint16_t value);
void store_u32(std::uint8_t* p, std::uint32_t value);

// The first 16 bytes of every gear and device file, in every layout.
struct config_header {
  std::uint32_t length = 0;    // file length in bytes
  std::uint32_t checksum = 0;  // config_crc16 of the file with this field 0
  std::uint32_t version = 0;   // layout version 1, 2 or 3
  std::uint32_t counter = 0;   // raised by 1 by every layout conversion
};
constexpr std::size_t kHeaderLength = 0;
constexpr std::size_t kHeaderChecksum = 4;
constexpr std::size_t kHeaderVersion = 8;
constexpr std::size_t kHeaderCounter = 12;
constexpr std::size_t kHeaderSize = 16;

// Reads the header of a file of at least kHeaderSize bytes.
config_header config_header_load(const std::uint8_t* file);
void config_header_store(std::uint8_t* file, const config_header& header);

// CRC-16/MCRF4XX: reflected polynomial 0x8408, start 0xFFFF, no final XOR.
std::uint16_t config_crc16(const std::uint8_t* bytes, std::size_t length);

// Zeroes the checksum field, then stores config_crc16 of the first `length`
// bytes in it. The caller has set the other header fields.
void config_seal(std::uint8_t* file, std::size_t length);

// Gear file, channel-wide part (all layouts).
constexpr std::size_t kGearChannelValue = 16;    // u32, channel CSV column 0 (layout 3 only)
constexpr std::size_t kGearChannelPartEnd = 59;  // byte 59 is reserved; conversions write 0
constexpr std::size_t kGearEntries = 60;
constexpr std::size_t kGearEntryCount = 64;
constexpr std::size_t kGroupEntryCount = 16;
constexpr std::size_t kGroupEntrySize = 38;

// gear_entry fields common to all layouts (offsets within the entry).
constexpr std::size_t kEntryFlags = 0;        // u32
constexpr std::size_t kEntryLevel1 = 5;       // level settings 1..4 at 5..8; 255 means none
constexpr std::size_t kEntryFadeRate = 9;     // 1..15
constexpr std::size_t kEntryFadeTime = 10;    // 0..15
constexpr std::size_t kEntryAddress = 11;     // 2 x short address + 1
constexpr std::size_t kEntryGroups = 18;      // u16, bit g: member of group g
constexpr std::size_t kEntryScenes = 20;      // 16 scene levels; 255: not in the scene
constexpr std::size_t kEntryWritten = 36;     // 255 once the channel CSV import wrote it
constexpr std::size_t kEntryDeviceType = 42;  // selects the type-specific block in layout 1
constexpr std::size_t kSceneCount = 16;
constexpr std::uint32_t kFlagShortAddress = 1;
constexpr std::uint32_t kFlagImported = 2;
constexpr std::uint32_t kFlagImportedOff = 8;  // instead of kFlagImported when level 1 reads false

// Names: 33 bytes, NUL-terminated, at most 32 characters.
constexpr std::size_t kNameSize = 33;

// group_entry (38 bytes, all layouts).
constexpr std::size_t kGroupName = 0;
constexpr std::size_t kGroupWritten = 36;  // 255 once the groups CSV import wrote it

// The device types that have a block of their own: DC-voltage converters,
// LED modules and colour control. 255: none of these.
constexpr std::uint8_t kDeviceTypeConverter = 5;
constexpr std::uint8_t kDeviceTypeLed = 6;
constexpr std::uint8_t kDeviceTypeColour = 8;
constexpr std::uint8_t kDeviceTypeNone = 255;

// Gear file, layout 1 (11168 bytes, entries of 152 bytes).
namespace gear1 {
constexpr std::size_t kLength = 11168;
constexpr std::size_t kEntrySize = 152;
constexpr std::size_t kGroups = 9788;
constexpr std::size_t kEntryTable = 10396;  // 64 opaque records of 12 bytes
constexpr std::size_t kEntryTableSize = 12;
constexpr std::size_t kTrailer = 11164;
// Within an entry.
constexpr std::size_t kAfterDeviceType = 43;
constexpr std::size_t kTypeBlock = 44;  // 50 bytes: type 5 uses 3, type 6 uses 7, type 8 all 50
constexpr std::size_t kType5Size = 3;
constexpr std::size_t kType6Size = 7;
constexpr std::size_t kType8Size = 50;
constexpr std::size_t kName = 94;
constexpr std::size_t kAfterName = 127;  // u8
constexpr std::size_t kWord = 128;       // u32
constexpr std::size_t kDropped = 132;    // 4 bytes no conversion carries
constexpr std::size_t kTail = 136;       // 16 bytes
}  // namespace gear1

// Gear file, layout 2 (10912 bytes, entries of 160 bytes).
namespace gear2 {
constexpr std::size_t kLength = 10912;
constexpr std::size_t kEntrySize = 160;
constexpr std::size_t kGroups = 10300;
constexpr std::size_t kTrailer = 10908;
// Within an entry.
constexpr std::size_t kAfterDeviceType = 43;
constexpr std::size_t kConfiguredType = 44;
constexpr std::size_t kAfterConfiguredType = 45;
constexpr std::size_t kType5Block = 46;
constexpr std::size_t kType6Block = 49;
constexpr std::size_t kType8Block = 56;
constexpr std::size_t kName = 106;
constexpr std::size_t kAfterName = 139;
constexpr std::size_t kWord = 140;
constexpr std::size_t kTail = 144;
}  // namespace gear2

// Gear file, layout 3 (7072 bytes, entries of 100 bytes).
namespace gear3 {
constexpr std::size_t kLength = 7072;
constexpr std::size_t kEntrySize = 100;
constexpr std::size_t kGroups = 6460;
constexpr std::size_t kTrailer = 7068;
// Within an entry.
constexpr std::size_t kConfiguredType = 43;
constexpr std::size_t kAfterConfiguredType = 44;
constexpr std::size_t kName = 45;
constexpr std::size_t kAfterName = 78;
constexpr std::size_t kReserved = 79;
constexpr std::size_t kWord = 80;
constexpr std::size_t kTail = 84;
}  // namespace gear3

// The regions of one gear layout, for code that serves every layout.
struct gear_layout {
  std::uint32_t version;
  std::size_t length;
  std::size_t entry_size;
  std::size_t groups;
  std::size_t trailer;
  std::size_t name;  // within an entry
};
// The layout of a layout version 1..3; layout 1 for any other value.
const gear_layout& gear_layout_of(std::uint32_t version);

// Device file, layouts 2 and 3.
constexpr std::size_t kDeviceChannelValue = 16;  // u32, inputs CSV column 0
constexpr std::size_t kDeviceChannelPartEnd = 28;
constexpr std::size_t kDeviceEntries = 28;
constexpr std::size_t kDeviceEntrySize = 100;
constexpr std::size_t kDeviceCount = 32;
constexpr std::size_t kInstanceBlocks = 3228;
constexpr std::size_t kInstanceCount = 32;

// device_entry (100 bytes, both layouts).
constexpr std::size_t kDevFlags = 0;           // u32
constexpr std::size_t kDevAddress = 8;         // 2 x short address + 1, or 255
constexpr std::size_t kDevInstanceCount = 10;  // 0..32
constexpr std::size_t kDevWritten = 13;        // 255 once the inputs import wrote it
constexpr std::size_t kDevInstances = 16;      // 32 pairs: instance type, per-instance value
constexpr std::size_t kDevName = 80;           // 17 bytes, at most 16 characters
constexpr std::size_t kDevNameSize = 17;
constexpr std::size_t kDevEntryCopied = 97;  // bytes 97..99 are padding

// Instance types, as the DALI input-device standards number them.
constexpr std::uint8_t kInstancePushButton = 1;
constexpr std::uint8_t kInstanceOccupancy = 3;
constexpr std::uint8_t kInstanceLight = 4;
constexpr std::size_t kPushButtonSize = 6;
constexpr std::size_t kOccupancySize = 4;
constexpr std::size_t kLightSize = 3;

// Device file, layout 2 (9436 bytes): instance records overlaid by type.
namespace device2 {
constexpr std::size_t kLength = 9436;
constexpr std::size_t kBlockSize = 194;
constexpr std::size_t kPushButtonValue = 192;
}  // namespace device2

// Device file, layout 3 (9564 bytes): one 6-byte record per instance.
namespace device3 {
constexpr std::size_t kLength = 9564;
constexpr std::size_t kBlockSize = 198;
constexpr std::size_t kPushButtonValue = 1;
constexpr std::size_t kRecords = 6;
constexpr std::size_t kRecordSize = 6;
}  // namespace device3

// One row of a version table: firmware at or above `version` (as text)
// uses layout index `index`.
struct layout_row {
  const char* version;
  int index;
};
// Serves every decision but the restore of a device file.
extern const std::span<const layout_row> firmware_layout_table;
// Serves the restore of a device file.
extern const std::span<const layout_row> cd_restore_layout_table;

// The index (0..3) of the last row whose version is not above `version`
// under plain byte-wise comparison; 0 when it sorts below every row. No
// numeric parsing: "1.10.0" sorts below "1.3.0".
int layout_for_firmware(std::span<const layout_row> table, std::string_view version);
// The layout version an index stands for: 0 and 1 both mean version 1.
std::uint32_t layout_version(int index);

// The tool's working copy of one channel: a gear file buffer large enough
// for every gear layout and a device file buffer, both zeroed.
struct channel_record {
  std::array<std::uint8_t, gear1::kLength> gear{};
  std::array<std::uint8_t, device3::kLength> device{};
};

// Result of write_device_file when the controller's firmware selects a
// device file layout the tool cannot write: the action ends.
constexpr int CHANNEL_LAYOUT_UNSUPPORTED = 2;

// Reads the member `name` of a configuration archive into `data`. When it
// is missing, empty or cut short, says so in a line tagged `tag` and gives
// false; nothing is allocated for bytes the archive does not hold.
bool read_config_member(std::span<const std::uint8_t> archive, const char* name, const char* tag,
                        std::vector<std::uint8_t>& data);

// Clears the gear buffer and copies the member "/etc/config/dali/dali%u.bin"
// of a fetched configuration archive into it (at most 11168 bytes; a shorter
// file leaves the rest zero). 0 on success, 1 when the member is missing,
// empty or unreadable (the buffer then stays cleared).
int read_gear_file(std::span<const std::uint8_t> archive, unsigned channel, channel_record& record);

// Stamps the gear buffer with the layout `firmware_version` selects and
// writes it as the member "/etc/config/dali/dali%u.bin". A length field of 0
// (no gear file was fetched) is set to the layout's length, which a
// controller checks. 0 on success; 1 when an input is missing, the channel
// is 0 or the member could not be written.
int write_gear_file(tar_stream& stream, const char* firmware_version, unsigned channel,
                    channel_record& record);

// Stamps the device buffer as layout 3 (length 9564) and writes it as
// "/etc/config/dali/cd%u.bin". CHANNEL_LAYOUT_UNSUPPORTED when the firmware
// selects another layout (nothing written); otherwise like write_gear_file.
int write_device_file(tar_stream& stream, const char* firmware_version, unsigned channel,
                      channel_record& record);

}  // namespace torvi
