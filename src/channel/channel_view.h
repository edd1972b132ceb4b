#pragma once
// Reading a gear or device file field by field: one table of the records
// each file holds and of the fields each record has, per layout, built from
// the same offsets the conversions and imports use. Whoever shows, compares
// or exports a channel file walks these tables instead of knowing offsets.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "channel/channel_file.h"

namespace torvi {

// Where a layout has no such field or record.
constexpr std::size_t kNoField = SIZE_MAX;

enum class field_form : std::uint8_t {
  number,  // little-endian unsigned integer of `width` bytes
  text,    // NUL-terminated within `width` bytes
  bytes,   // a run of single-byte values
};

// One field of a record; `at[v - 1]` is its offset within the record in
// layout version v, kNoField where that layout lacks it.
struct channel_field {
  const char* name;
  field_form form;
  std::size_t width;
  std::size_t at[3];
};

// One kind of record: `count` of them, the first at `base[v - 1]`, each
// `stride[v - 1]` bytes long and right after the last (a file-wide part's
// stride is its length).
struct channel_region {
  const char* name;
  std::size_t count;
  std::size_t base[3];
  std::size_t stride[3];
  std::span<const channel_field> fields;
};

// The file-wide part (one record at offset 0, the header included), 64
// gear entries, 16 group entries, layout 1's table of 64 opaque 12-byte
// records (one per entry; a channel CSV row without a short address clears
// its record) and the trailer word.
extern const channel_region gear_channel_region;
extern const channel_region gear_entry_region;
extern const channel_region group_entry_region;
extern const channel_region entry_table_region;
extern const channel_region gear_trailer_region;
// The file-wide part, 32 device entries and their 32 instance blocks
// (layouts 2 and 3; layout 1 device files are not interpreted).
extern const channel_region device_channel_region;
extern const channel_region device_entry_region;
extern const channel_region instance_block_region;

enum class channel_file_kind : std::uint8_t { gear, device };

// A gear or device file as stored: its bytes and the layout version its
// header gives (1 for a gear file of an unknown version, as the tool reads
// it; device files of a version other than 2 or 3 have no records).
struct channel_view {
  channel_file_kind kind;
  std::span<const std::uint8_t> bytes;
  std::uint32_t layout;
};
channel_view channel_view_of(channel_file_kind kind, std::span<const std::uint8_t> bytes);

// The regions of the view's kind, file-wide part first.
std::span<const channel_region* const> channel_regions(channel_file_kind kind);

// The field's bytes in record `index` of `region`; empty when the layout
// lacks the field or the file is too short to hold it.
std::span<const std::uint8_t> field_bytes(const channel_view& view, const channel_region& region,
                                          std::size_t index, const channel_field& field);
// The region's field called `name`; null when it has none.
const channel_field* find_field(const channel_region& region, const char* name);

// A number field's value; empty where field_bytes is.
std::optional<std::uint32_t> field_number(const channel_view& view, const channel_region& region,
                                          std::size_t index, const char* name);
// A text field up to its first NUL (or its whole width when it has none).
std::string field_text(std::span<const std::uint8_t> bytes);

// The short address a gear or device entry holds: flags bit 0 set and an
// address byte of the form 2 x address + 1 (address 0..63); empty otherwise.
std::optional<unsigned> entry_short_address(std::uint32_t flags, std::uint8_t address);

// The bytes of instance `j`'s record of device `device` that its type
// gives meaning to: 6 for a push button, 4 for an occupancy sensor, 3 for a
// light sensor, none for any other type. Layout 2 overlays the three kinds
// of record; layout 3 gives each instance 6 bytes.
std::span<const std::uint8_t> instance_record(const channel_view& view, std::size_t device,
                                              std::size_t j);

// Whether a record is set up: a gear entry with a short address or a name,
// a named group, a device with a short address, a name or instances. What
// the readers of a channel file list; the rest of the 64 and 32 are blank.
bool record_in_use(const channel_view& view, const channel_region& region, std::size_t index);

// Whether the stored checksum is config_crc16 of the first `length` bytes
// with the checksum field taken as 0; false when the file is shorter than
// its length field or than a header.
bool config_checksum_ok(std::span<const std::uint8_t> bytes);

}  // namespace torvi
