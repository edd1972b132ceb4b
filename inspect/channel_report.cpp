#include "inspect/channel_report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace torvi::inspect {
namespace {

std::uint32_t number_of(const channel_view& view, const channel_region& region, std::size_t index,
                        const char* name) {
  return field_number(view, region, index, name).value_or(0);
}

}  // namespace

node field_value_node(const channel_field& field, std::span<const std::uint8_t> bytes) {
  switch (field.form) {
    case field_form::number: {
      std::uint32_t value = 0;
      for (std::size_t i = bytes.size(); i-- > 0;) value = (value << 8) | bytes[i];
      return number_node(value);
    }
    case field_form::text: {
      // The controller reads a text up to its NUL, but bytes after it are
      // still in the file and a restore sends them: show them, so that two
      // fields that differ never read the same.
      std::size_t end = bytes.size();
      while (end > 0 && bytes[end - 1] == 0) --end;
      return text_node(
          std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(end)));
    }
    case field_form::bytes:
      break;
  }
  return bytes_node(bytes);
}

node short_address_node(const channel_view& view, const channel_region& region, std::size_t index) {
  const std::optional<unsigned> address = entry_short_address(
      number_of(view, region, index, "flags"),
      static_cast<std::uint8_t>(number_of(view, region, index, "address_byte")));
  return address ? number_node(*address) : null_node();
}

node group_list(std::uint32_t mask) {
  node groups = list_node();
  for (unsigned g = 0; g < kGroupEntryCount; ++g) {
    if (mask & (1u << g)) groups.push(number_node(g));
  }
  return groups;
}

namespace {

// A device's instances: every one the count covers or whose type is set.
node instances_node(const channel_view& view, std::size_t device) {
  static const channel_field& pairs_field =
      *find_field(device_entry_region, "instance_types_values");
  const std::span<const std::uint8_t> pairs =
      field_bytes(view, device_entry_region, device, pairs_field);
  const std::uint32_t count = number_of(view, device_entry_region, device, "instance_count");
  node instances = list_node();
  for (std::size_t j = 0; j < kInstanceCount && pairs.size() == 2 * kInstanceCount; ++j) {
    if (j >= count && pairs[2 * j] == 0 && pairs[2 * j + 1] == 0) continue;
    node instance = object_node();
    instance.members.reserve(4);
    instance.add("instance", number_node(static_cast<std::int64_t>(j)));
    instance.add("type", number_node(pairs[2 * j]));
    instance.add("value", number_node(pairs[2 * j + 1]));
    const std::span<const std::uint8_t> record = instance_record(view, device, j);
    instance.add("record", record.empty() ? null_node() : bytes_node(record));
    instances.push(std::move(instance));
  }
  return instances;
}

}  // namespace

node header_node(std::span<const std::uint8_t> bytes) {
  node header = object_node();
  header.add("size", number_node(static_cast<std::int64_t>(bytes.size())));
  if (bytes.size() < kHeaderSize) {
    header.add("problem", text_node("shorter than its 16-byte header"));
    return header;
  }
  const config_header h = config_header_load(bytes.data());
  header.add("length", number_node(h.length));
  header.add("length_matches_size", bool_node(h.length == bytes.size()));
  char checksum[16];
  std::snprintf(checksum, sizeof checksum, "0x%04X", h.checksum);
  header.add("checksum", text_node(checksum));
  header.add("checksum_verifies", bool_node(config_checksum_ok(bytes)));
  header.add("layout_version", number_node(h.version));
  header.add("conversion_counter", number_node(h.counter));
  return header;
}

node record_node(const channel_view& view, const channel_region& region, std::size_t index) {
  static const channel_field* const pairs =
      find_field(device_entry_region, "instance_types_values");
  static const channel_field* const groups = find_field(gear_entry_region, "groups");
  node record = object_node();
  record.members.reserve(region.fields.size() + 4);
  record.add("index", number_node(static_cast<std::int64_t>(index)));
  const bool entry = &region == &gear_entry_region || &region == &device_entry_region;
  if (entry) record.add("short_address", short_address_node(view, region, index));
  for (const channel_field& field : region.fields) {
    // The instances are shown one by one below.
    if (&field == pairs) continue;
    const std::span<const std::uint8_t> bytes = field_bytes(view, region, index, field);
    if (bytes.empty()) continue;
    if (&field == groups) {
      record.add("groups", group_list(load_u16(bytes.data())));
      continue;
    }
    record.add(field.name, field_value_node(field, bytes));
  }
  if (&region == &device_entry_region) {
    if (const auto value = field_number(view, instance_block_region, index, "push_button_value")) {
      record.add("push_button_value", number_node(*value));
    }
    record.add("instances", instances_node(view, index));
  }
  return record;
}

node channel_file_node(const channel_view& view) {
  node file = object_node();
  file.add("header", header_node(view.bytes));
  const bool gear = view.kind == channel_file_kind::gear;
  if (!gear && view.layout != 2 && view.layout != 3) {
    file.add("note", text_node("device files of this layout version are carried, not read"));
    return file;
  }
  const channel_region& channel = gear ? gear_channel_region : device_channel_region;
  if (const auto value = field_number(view, channel, 0, "channel_value")) {
    file.add("channel_value", number_node(*value));
  }
  const channel_region* lists[] = {gear ? &gear_entry_region : &device_entry_region,
                                   gear ? &group_entry_region : nullptr};
  const char* names[] = {gear ? "gear" : "devices", "groups"};
  for (int l = 0; l < 2; ++l) {
    if (!lists[l]) continue;
    node records = list_node();
    for (std::size_t i = 0; i < lists[l]->count; ++i) {
      if (!record_in_use(view, *lists[l], i)) continue;
      node record = record_node(view, *lists[l], i);
      // A type-specific block the entry does not use is all zero; leave it out.
      std::erase_if(record.members, [](const auto& member) {
        const node& value = member.second;
        return member.first.find("block") != std::string::npos &&
               std::all_of(value.items.begin(), value.items.end(),
                           [](const node& b) { return b.number == 0; });
      });
      records.push(std::move(record));
    }
    file.add(names[l], std::move(records));
  }
  return file;
}

}  // namespace torvi::inspect
