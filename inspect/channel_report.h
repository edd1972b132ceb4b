#pragma once
// Gear and device files as report nodes, through the channel file tables:
// what `show` prints, what `diff` compares and what `check-csv` lists.

#include <span>

#include "channel/channel_view.h"
#include "inspect/report.h"

namespace torvi::inspect {

// A field's value as a report shows it: a number, a text with any bytes
// after its end, or a list of byte values.
node field_value_node(const channel_field& field, std::span<const std::uint8_t> bytes);

// The short address a gear or device entry holds; null when it has none.
node short_address_node(const channel_view& view, const channel_region& region, std::size_t index);

// The group numbers a gear entry's 16-bit group mask names.
node group_list(std::uint32_t mask);

// The header: length (and whether it is the file's size), checksum and
// whether it verifies, layout version, conversion counter.
node header_node(std::span<const std::uint8_t> bytes);

// Record `index` of `region` with every field the layout has, plus what
// they stand for: a gear or device entry's short address (null when none),
// a gear entry's group numbers, a device's instances with their records.
node record_node(const channel_view& view, const channel_region& region, std::size_t index);

// The whole file as `show` prints it: header, channel value, and the
// records in use ("gear", "groups", "devices").
node channel_file_node(const channel_view& view);

}  // namespace torvi::inspect
