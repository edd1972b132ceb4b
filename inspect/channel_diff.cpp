#include "inspect/channel_diff.h"

#include <algorithm>
#include <map>
#include <vector>

#include "inspect/channel_report.h"

namespace torvi::inspect {
namespace {

// A record's values by field path: scalars and lists of scalars stay
// whole, lists of records are taken apart by their "instance" or "index"
// member, so that one changed instance reads "instances[3].type".
void flatten(const node& value, const std::string& path,
             std::vector<std::pair<std::string, const node*>>& out) {
  if (value.kind == node::type::object) {
    for (const auto& [key, member] : value.members) {
      flatten(member, path.empty() ? key : path + "." + key, out);
    }
    return;
  }
  const bool records = value.kind == node::type::list && !value.items.empty() &&
                       value.items.front().kind == node::type::object;
  if (!records) {
    out.emplace_back(path, &value);
    return;
  }
  for (std::size_t i = 0; i < value.items.size(); ++i) {
    const node& item = value.items[i];
    const node* key = item.find("instance");
    if (!key) key = item.find("index");
    const std::int64_t n = key ? key->number : static_cast<std::int64_t>(i);
    flatten(item, path + "[" + std::to_string(n) + "]", out);
  }
}

bool same(const node& a, const node& b) {
  if (a.kind != b.kind || a.flag != b.flag || a.number != b.number || a.text != b.text ||
      a.items.size() != b.items.size() || a.members.size() != b.members.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.items.size(); ++i) {
    if (!same(a.items[i], b.items[i])) return false;
  }
  for (std::size_t i = 0; i < a.members.size(); ++i) {
    if (a.members[i].first != b.members[i].first ||
        !same(a.members[i].second, b.members[i].second)) {
      return false;
    }
  }
  return true;
}

bool same(const node* a, const node* b) {
  return a && b ? same(*a, *b) : a == b;
}

node change(const char* record, const node& index, const std::string& field, const node* from,
            const node* to) {
  node c = object_node();
  c.add("record", text_node(record));
  c.add("index", index);
  c.add("field", text_node(field));
  c.add("from", from ? *from : null_node());
  c.add("to", to ? *to : null_node());
  return c;
}

void diff_nodes(const char* record, const node& index, const node& a, const node& b,
                node& changes) {
  std::vector<std::pair<std::string, const node*>> fa, fb;
  flatten(a, "", fa);
  flatten(b, "", fb);
  std::vector<std::string> order;
  std::map<std::string, std::pair<const node*, const node*>> pairs;
  for (const auto& [path, value] : fa) {
    if (!pairs.count(path)) order.push_back(path);
    pairs[path].first = value;
  }
  for (const auto& [path, value] : fb) {
    if (!pairs.count(path)) order.push_back(path);
    pairs[path].second = value;
  }
  for (const std::string& path : order) {
    const auto& [from, to] = pairs[path];
    // An instance index is the key, not a value.
    if (path.size() > 9 && path.compare(path.size() - 9, 9, ".instance") == 0) continue;
    if (!same(from, to)) changes.push(change(record, index, path, from, to));
  }
}

// The bytes of record `index` that no field of the region names (nor the
// typed instance records, for instance blocks) and that differ: their
// offsets within the record and their values on either side.
node other_bytes(const channel_view& a, const channel_view& b, const channel_region& region,
                 std::size_t index) {
  const std::size_t v = a.layout - 1;
  if (a.layout < 1 || a.layout > 3 || region.base[v] == kNoField || region.stride[v] == 0) {
    return {};
  }
  const std::size_t start = region.base[v] + index * region.stride[v];
  const std::size_t size = region.stride[v];
  if (a.bytes.size() < start + size || b.bytes.size() < start + size) return {};
  std::vector<bool> named(size, false);
  // The header of a file-wide part is compared on its own.
  if (region.count == 1 && start == 0)
    std::fill_n(named.begin(), std::min(size, kHeaderSize), true);
  for (const channel_field& field : region.fields) {
    if (field.at[v] == kNoField) continue;
    for (std::size_t i = 0; i < field.width && field.at[v] + i < size; ++i) {
      named[field.at[v] + i] = true;
    }
  }
  if (&region == &instance_block_region) {
    for (const channel_view* view : {&a, &b}) {
      for (std::size_t j = 0; j < kInstanceCount; ++j) {
        const std::span<const std::uint8_t> record = instance_record(*view, index, j);
        if (record.empty()) continue;
        const std::size_t at = static_cast<std::size_t>(record.data() - view->bytes.data()) - start;
        for (std::size_t i = 0; i < record.size(); ++i) named[at + i] = true;
      }
    }
  }
  node offsets = list_node(), from = list_node(), to = list_node();
  for (std::size_t i = 0; i < size; ++i) {
    if (!named[i] && a.bytes[start + i] != b.bytes[start + i]) {
      offsets.push(number_node(static_cast<std::int64_t>(i)));
      from.push(number_node(a.bytes[start + i]));
      to.push(number_node(b.bytes[start + i]));
    }
  }
  node differing = object_node();
  differing.add("offsets", std::move(offsets));
  differing.add("from", std::move(from));
  differing.add("to", std::move(to));
  return differing;
}

// The bytes of record `index` of `region`; empty where the layout has no
// such record or the file ends before the record does.
std::span<const std::uint8_t> record_bytes(const channel_view& view, const channel_region& region,
                                           std::size_t index) {
  if (view.layout < 1 || view.layout > 3) return {};
  const std::size_t v = view.layout - 1;
  if (region.base[v] == kNoField || region.stride[v] == 0) return {};
  const std::size_t start = region.base[v] + index * region.stride[v];
  if (start > view.bytes.size() || view.bytes.size() - start < region.stride[v]) return {};
  return view.bytes.subspan(start, region.stride[v]);
}

bool equal_bytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace

node diff_channel_files(const channel_view& a, const channel_view& b) {
  node changes = list_node();
  diff_nodes("header", null_node(), header_node(a.bytes), header_node(b.bytes), changes);
  // In one layout every byte is compared where it lies: those the records
  // cover by their fields and the rest of each record by offset, and the
  // bytes no record covers by their offset in the file. Across layouts the
  // fields are compared by name; the header says the layouts differ.
  const bool same_layout = a.layout == b.layout;
  std::vector<bool> covered(same_layout ? std::min(a.bytes.size(), b.bytes.size()) : 0, false);
  std::fill_n(covered.begin(), std::min(covered.size(), kHeaderSize), true);
  for (const channel_region* region : channel_regions(a.kind)) {
    const bool file_wide = region->count == 1;
    for (std::size_t i = 0; i < region->count; ++i) {
      const std::span<const std::uint8_t> ra = record_bytes(a, *region, i);
      const std::span<const std::uint8_t> rb = record_bytes(b, *region, i);
      if (same_layout && !ra.empty() && !rb.empty()) {
        const std::size_t start = static_cast<std::size_t>(ra.data() - a.bytes.data());
        std::fill_n(covered.begin() + static_cast<std::ptrdiff_t>(start), ra.size(), true);
      }
      // A device's instances are shown with the device, so its entry is the
      // same only when its instance block is too.
      bool same = same_layout && equal_bytes(ra, rb);
      if (same && region == &device_entry_region) {
        same = equal_bytes(record_bytes(a, instance_block_region, i),
                           record_bytes(b, instance_block_region, i));
      }
      if (same) continue;
      const node index = file_wide ? null_node() : number_node(static_cast<std::int64_t>(i));
      // Instance blocks are compared within their devices, but for the
      // bytes no field names.
      if (region != &instance_block_region) {
        diff_nodes(region->name, index, record_node(a, *region, i), record_node(b, *region, i),
                   changes);
      }
      if (!same_layout) continue;
      const node differing = other_bytes(a, b, *region, i);
      const node* offsets = differing.find("offsets");
      if (offsets && !offsets->items.empty()) {
        node c = change(region->name, index, "other_bytes", differing.find("from"),
                        differing.find("to"));
        c.add("offsets", *offsets);
        changes.push(std::move(c));
      }
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
    node c = change("file", null_node(), "other_bytes", &from, &to);
    c.add("offsets", std::move(offsets));
    changes.push(std::move(c));
  }
  return changes;
}

}  // namespace torvi::inspect
