#include "inspect/channel_diff.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "inspect/channel_report.h"

namespace torvi::inspect {
namespace {

using bytes = std::span<const std::uint8_t>;

bool equal_bytes(bytes a, bytes b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

bool same(const node& a, const node& b) {
  return a.kind == b.kind && a.flag == b.flag && a.number == b.number && a.text == b.text &&
         a.items.size() == b.items.size() &&
         std::equal(a.items.begin(), a.items.end(), b.items.begin(),
                    [](const node& x, const node& y) { return same(x, y); });
}

// One change: what the record's field was in A and is in B.
struct change_list {
  node& changes;
  const char* record;
  node index;

  void add(const std::string& field, node from, node to) {
    node c = object_node();
    c.members.reserve(6);
    c.add("record", text_node(record));
    c.add("index", index);
    c.add("field", text_node(field));
    c.add("from", std::move(from));
    c.add("to", std::move(to));
    changes.push(std::move(c));
  }
  // The field's bytes on either side, shown as its values when they differ.
  void add_bytes(const std::string& field, bytes a, bytes b, node (*value)(bytes)) {
    if (equal_bytes(a, b)) return;
    add(field, a.empty() ? null_node() : value(a), b.empty() ? null_node() : value(b));
  }
};

// The bytes of record `index` of `region`; empty where the layout has no
// such record or the file ends before the record does.
bytes record_bytes(const channel_view& view, const channel_region& region, std::size_t index) {
  if (view.layout < 1 || view.layout > 3) return {};
  const std::size_t v = view.layout - 1;
  if (region.base[v] == kNoField || region.stride[v] == 0) return {};
  const std::size_t start = region.base[v] + index * region.stride[v];
  if (start > view.bytes.size() || view.bytes.size() - start < region.stride[v]) return {};
  return view.bytes.subspan(start, region.stride[v]);
}

node list_of_bytes(bytes b) {
  return bytes_node(b);
}

// A device's instances, one by one: the type and value pair of the entry
// and the record in the instance block that the type gives meaning to.
void diff_instances(const channel_view& a, const channel_view& b, std::size_t device,
                    change_list& out) {
  static const channel_field& pairs = *find_field(device_entry_region, "instance_types_values");
  const bytes pa = field_bytes(a, device_entry_region, device, pairs);
  const bytes pb = field_bytes(b, device_entry_region, device, pairs);
  for (std::size_t j = 0; j < kInstanceCount; ++j) {
    const std::string name = "instances[" + std::to_string(j) + "]";
    const auto pair_byte = [j](bytes p, std::size_t k) {
      return p.empty() ? null_node() : number_node(p[2 * j + k]);
    };
    for (std::size_t k = 0; k < 2; ++k) {
      node from = pair_byte(pa, k), to = pair_byte(pb, k);
      if (!same(from, to)) out.add(name + (k ? ".value" : ".type"), std::move(from), std::move(to));
    }
    out.add_bytes(name + ".record", instance_record(a, device, j), instance_record(b, device, j),
                  list_of_bytes);
  }
}

// Record `index` of `region`, field by field through the table, with what
// the fields stand for (a short address, group numbers, instances).
void diff_record(const channel_view& a, const channel_view& b, const channel_region& region,
                 std::size_t index, change_list& out) {
  const bool gear_entry = &region == &gear_entry_region;
  const bool device_entry = &region == &device_entry_region;
  if (gear_entry || device_entry) {
    node from = short_address_node(a, region, index), to = short_address_node(b, region, index);
    if (!same(from, to)) out.add("short_address", std::move(from), std::move(to));
  }
  for (const channel_field& field : region.fields) {
    const bytes fa = field_bytes(a, region, index, field);
    const bytes fb = field_bytes(b, region, index, field);
    if (equal_bytes(fa, fb)) continue;
    if (device_entry && std::strcmp(field.name, "instance_types_values") == 0) continue;
    if (gear_entry && std::strcmp(field.name, "groups") == 0) {
      out.add("groups", fa.empty() ? null_node() : group_list(load_u16(fa.data())),
              fb.empty() ? null_node() : group_list(load_u16(fb.data())));
      continue;
    }
    out.add(field.name, fa.empty() ? null_node() : field_value_node(field, fa),
            fb.empty() ? null_node() : field_value_node(field, fb));
  }
  if (device_entry) {
    for (const channel_field& field : instance_block_region.fields) {
      const bytes fa = field_bytes(a, instance_block_region, index, field);
      const bytes fb = field_bytes(b, instance_block_region, index, field);
      if (equal_bytes(fa, fb)) continue;
      out.add(field.name, fa.empty() ? null_node() : field_value_node(field, fa),
              fb.empty() ? null_node() : field_value_node(field, fb));
    }
    diff_instances(a, b, index, out);
  }
}

// The bytes of record `index` that no field of the region names (nor the
// typed instance records, for instance blocks) and that differ, by their
// offset within the record. Both files have one layout.
void diff_other_bytes(const channel_view& a, const channel_view& b, const channel_region& region,
                      std::size_t index, bytes ra, bytes rb, change_list& out) {
  const std::size_t v = a.layout - 1;
  std::vector<std::uint8_t> named(ra.size(), 0);
  // The header of a file-wide part is compared on its own.
  if (region.count == 1 && region.base[v] == 0) {
    std::fill_n(named.begin(), std::min(named.size(), kHeaderSize), true);
  }
  for (const channel_field& field : region.fields) {
    if (field.at[v] == kNoField) continue;
    for (std::size_t i = field.at[v]; i < field.at[v] + field.width && i < named.size(); ++i) {
      named[i] = true;
    }
  }
  if (&region == &instance_block_region) {
    for (const channel_view* view : {&a, &b}) {
      for (std::size_t j = 0; j < kInstanceCount; ++j) {
        const bytes record = instance_record(*view, index, j);
        if (record.empty()) continue;
        const std::size_t at =
            static_cast<std::size_t>(record.data() - view->bytes.data()) -
            static_cast<std::size_t>((view == &a ? ra.data() : rb.data()) - view->bytes.data());
        for (std::size_t i = 0; i < record.size(); ++i) named[at + i] = true;
      }
    }
  }
  node offsets = list_node(), from = list_node(), to = list_node();
  for (std::size_t i = 0; i < ra.size(); ++i) {
    if (named[i] || ra[i] == rb[i]) continue;
    offsets.push(number_node(static_cast<std::int64_t>(i)));
    from.push(number_node(ra[i]));
    to.push(number_node(rb[i]));
  }
  if (offsets.items.empty()) return;
  out.add("other_bytes", std::move(from), std::move(to));
  out.changes.items.back().add("offsets", std::move(offsets));
}

}  // namespace

node diff_channel_files(const channel_view& a, const channel_view& b) {
  node changes = list_node();
  const node ha = header_node(a.bytes), hb = header_node(b.bytes);
  change_list header{changes, "header", null_node()};
  for (const auto& [key, value] : ha.members) {
    const node* other = hb.find(key);
    if (!other || !same(value, *other)) header.add(key, value, other ? *other : null_node());
  }
  for (const auto& [key, value] : hb.members) {
    if (!ha.find(key)) header.add(key, null_node(), value);
  }
  // In one layout every byte is compared where it lies: those the records
  // cover by their fields and the rest of each record by offset, and the
  // bytes no record covers by their offset in the file. Across layouts the
  // fields are compared by name; the header says the layouts differ.
  const bool same_layout = a.layout == b.layout;
  std::vector<std::uint8_t> covered(same_layout ? std::min(a.bytes.size(), b.bytes.size()) : 0, 0);
  std::fill_n(covered.begin(), std::min(covered.size(), kHeaderSize), true);
  for (const channel_region* region : channel_regions(a.kind)) {
    const bool file_wide = region->count == 1;
    for (std::size_t i = 0; i < region->count; ++i) {
      const bytes ra = record_bytes(a, *region, i);
      const bytes rb = record_bytes(b, *region, i);
      const bool whole = same_layout && !ra.empty() && !rb.empty();
      if (whole) {
        const auto start = ra.data() - a.bytes.data();
        std::fill_n(covered.begin() + start, ra.size(), true);
      }
      // A device's instances are shown with the device, so its entry is the
      // same only when its instance block is too.
      bool unchanged = same_layout && equal_bytes(ra, rb);
      if (unchanged && region == &device_entry_region) {
        unchanged = equal_bytes(record_bytes(a, instance_block_region, i),
                                record_bytes(b, instance_block_region, i));
      }
      if (unchanged) continue;
      change_list out{changes, region->name,
                      file_wide ? null_node() : number_node(static_cast<std::int64_t>(i))};
      // Instance blocks are compared within their devices, but for the
      // bytes no field names.
      if (region != &instance_block_region) diff_record(a, b, *region, i, out);
      if (whole) diff_other_bytes(a, b, *region, i, ra, rb, out);
    }
  }
  // Bytes no record covers: a device file of a layout that is only
  // carried, the gaps between parts, a record the file ends inside.
  node offsets = list_node(), from = list_node(), to = list_node();
  for (std::size_t i = 0; i < covered.size(); ++i) {
    if (covered[i] || a.bytes[i] == b.bytes[i]) continue;
    offsets.push(number_node(static_cast<std::int64_t>(i)));
    from.push(number_node(a.bytes[i]));
    to.push(number_node(b.bytes[i]));
  }
  if (!offsets.items.empty()) {
    change_list file{changes, "file", null_node()};
    file.add("other_bytes", std::move(from), std::move(to));
    changes.items.back().add("offsets", std::move(offsets));
  }
  return changes;
}

}  // namespace torvi::inspect
