#include "report/commissioning_report.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>

#include "backup/backup.h"
#include "backup/backup_contents.h"
#include "channel/channel_view.h"
#include "platform/console.h"
#include "platform/platform.h"

namespace torvi {
namespace {

constexpr unsigned kChannels = 4;
constexpr std::uint8_t kNotInScene = 255;
constexpr std::uint8_t kNoLevel = 255;

// Readable at 1280 pixels (only the scene table may need to scroll), A4 in
// print with each controller and each channel that holds anything on a page
// of its own, and the shading printed. The content security policy keeps
// the page from running or loading anything, whatever a name in it says.
constexpr char kHead[] =
    R"(<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'">
<style>
body{font:14px/1.4 system-ui,sans-serif;color:#1d2228;margin:0 auto;max-width:1240px;padding:12px 20px}
h1{margin:0 0 4px}h2{margin:28px 0 6px;border-bottom:2px solid #1d2228}h3{margin:22px 0 6px}
h4{margin:14px 0 4px}p{margin:4px 0}
table{border-collapse:collapse;margin:2px 0 10px}
th,td{border:1px solid #c4cad3;padding:1px 6px;text-align:right;vertical-align:top}
thead th{background:#e8ecf1;text-align:left;vertical-align:bottom}
.gear td:nth-child(3),.gear td:nth-child(4),.matrix td:nth-child(2),.scenes td:nth-child(2),
.devices td{text-align:left;max-width:20em;overflow-wrap:anywhere}
dl{display:grid;grid-template-columns:max-content auto;gap:1px 16px;margin:6px 0}dt{color:#58616c}dd{margin:0}
.findings{border:2px solid #b3261e;background:#fdecea;padding:6px 12px;margin:10px 0}
.findings h3{color:#b3261e;margin:0}.findings ul{margin:4px 0;padding-left:20px}
.bad{color:#b3261e;font-weight:bold}.ok{color:#1e6b34}.quiet{color:#58616c}
.wide{overflow-x:auto}
.matrix td,.scenes td{text-align:center;min-width:1.2em}.scenes td{min-width:2.2em}
.matrix td.m{background:#1d4f91;color:#fff}
.matrix th.g{text-align:center;vertical-align:bottom;padding:4px 2px}
.matrix th.g div{writing-mode:vertical-rl;transform:rotate(180deg);max-height:14em;font-weight:normal;margin:auto}
.l0{background:#16181d;color:#fff}.l1{background:#24262a;color:#fff}.l2{background:#333331;color:#fff}
.l3{background:#434138;color:#fff}.l4{background:#534f3f;color:#fff}.l5{background:#645d46;color:#fff}
.l6{background:#766c4d;color:#fff}.l7{background:#887a53;color:#fff}.l8{background:#9a8959;color:#000}
.l9{background:#ad9860;color:#000}.l10{background:#c0a866;color:#000}.l11{background:#d2b86d;color:#000}
.l12{background:#e2c774;color:#000}.l13{background:#efd67f;color:#000}.l14{background:#f8e394;color:#000}
.l15{background:#fff1b3;color:#000}
@page{size:A4;margin:12mm 10mm 14mm}
@page{@bottom-right{content:"Page " counter(page) " of " counter(pages);font:8pt system-ui,sans-serif}}
@media print{
body{font-size:8pt;max-width:none;padding:0}
.brk,.channel.full{break-before:page}
h2,h3,h4{break-after:avoid}tr{break-inside:avoid}
.wide{overflow:visible}td{max-width:none!important;white-space:nowrap}
*{print-color-adjust:exact;-webkit-print-color-adjust:exact}
a{color:inherit;text-decoration:none}
}
</style>
)";

// The length of the well-formed UTF-8 sequence at the start of `s`; 0 for a
// byte that starts none, and for a control character.
std::size_t utf8_length(std::string_view s) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned c = at(0);
  if (c < 0x80) return c < 0x20 || c == 0x7F ? 0 : 1;
  std::size_t n = 0;
  unsigned low = 0x80, high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    if (c == 0xC2) low = 0xA0;  // C1 controls
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;   // overlong
    if (c == 0xED) high = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;   // overlong
    if (c == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < n || at(1) < low || at(1) > high) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (at(k) < 0x80 || at(k) > 0xBF) return 0;
  }
  return n;
}

// Appends `text` as HTML text, fit for a quoted attribute too: markup
// characters as references, and each byte that is no UTF-8 character, or a
// control character, as a visible "\xNN", so the page stays well-formed
// UTF-8 whatever a file holds.
void put_text(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const char* reference = c == '&'    ? "&amp;"
                            : c == '<'  ? "&lt;"
                            : c == '>'  ? "&gt;"
                            : c == '"'  ? "&quot;"
                            : c == '\'' ? "&#39;"
                                        : nullptr;
    if (reference) {
      out += reference;
      ++i;
      continue;
    }
    const std::size_t n = utf8_length(text.substr(i));
    if (n == 0) {
      const auto byte = static_cast<unsigned char>(c);
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
      i += 1;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
}

void put_number(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

// A cell holding a number, or "–" when the field holds `none`.
void put_level_cell(std::string& out, std::uint32_t value, std::uint32_t none) {
  out += "<td>";
  if (value == none) {
    out += "–";
  } else {
    put_number(out, value);
  }
}

std::string base_name(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string local_time_text(std::time_t when) {
  std::tm local{};
  if (!platform_local_time(when, local)) return "unknown";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

struct finding {
  std::string where;  // "dali1.tar: /etc/config/dali/dali1.bin"; empty for the whole backup
  std::string text;
};

std::string place(const std::string& entry, const std::string& member) {
  if (entry.empty() || member.empty()) return entry + member;
  return entry + ": " + member;
}

// The length a channel file of this kind and layout has; 0 for a layout the
// tool does not know, SIZE_MAX where any length goes (layout-1 device files
// are carried as they are).
std::size_t layout_length(channel_file_kind kind, std::uint32_t version) {
  if (kind == channel_file_kind::gear) {
    if (version < 1 || version > 3) return 0;
    return gear_layout_of(version).length;
  }
  switch (version) {
    case 1:
      return SIZE_MAX;
    case 2:
      return device2::kLength;
    case 3:
      return device3::kLength;
    default:
      return 0;
  }
}

// What a channel file's header says against itself: its length, checksum
// and layout.
void header_findings(const found_channel_file& f, std::vector<finding>& out) {
  const std::string where = place(f.entry, f.member);
  if (f.bytes.size() < kHeaderSize) {
    out.push_back({where, "shorter than its 16-byte header"});
    return;
  }
  const config_header h = config_header_load(f.bytes.data());
  std::string text;
  if (h.length != f.bytes.size()) {
    format_text(text, "its length field says %u bytes, the file has %zu", h.length, f.bytes.size());
    out.push_back({where, text});
  }
  if (!config_checksum_ok(f.bytes)) {
    format_text(text, "checksum 0x%04X does not verify", h.checksum);
    out.push_back({where, text});
  }
  const std::size_t length = layout_length(f.kind, h.version);
  if (length == 0) {
    format_text(text, "layout version %u is not one the tool knows", h.version);
    out.push_back({where, text});
  } else if (length != SIZE_MAX && h.length != length) {
    format_text(text, "%u bytes long, where layout %u files have %zu", h.length, h.version, length);
    out.push_back({where, text});
  }
}

// Every problem a restore of the backup would meet, every channel file it
// lacks, and every channel file whose header does not hold.
std::vector<finding> findings_of(const backup_contents& contents) {
  std::vector<finding> out;
  for (const found_member& m : contents.members) {
    if (!m.problem.empty()) out.push_back({place(m.entry, m.name), m.problem});
  }
  for (const backup_problem& p : contents.problems) {
    out.push_back({place(p.entry, p.member), p.text});
  }
  // A channel file the backup does not hold is one a restore cannot give
  // back, and a part of the site the page cannot show.
  for (const backup_restore_row& row : backup_restore_table) {
    unsigned channel = 0;
    channel_file_kind kind{};
    if (!backup_row_channel(row, channel, kind) || find_channel_file(contents, channel, kind)) {
      continue;
    }
    std::string text;
    format_text(text, "holds no %s: channel %u's %s cannot be shown or restored", row.member,
                channel, kind == channel_file_kind::gear ? "gear" : "input devices");
    out.push_back({row.entry, text});
  }
  for (const found_channel_file& f : contents.files) header_findings(f, out);
  return out;
}

// One backup as read, with what the page needs of it.
struct backup_section {
  std::string path;
  bool read = false;
  backup_contents contents;
  std::vector<finding> findings;
};

std::string controller_label(const backup_section& b) {
  const backup_contents& c = b.contents;
  if (!c.model_name && !c.serial_number) return base_name(b.path);
  return c.model_name.value_or("controller") + " " + c.serial_number.value_or("");
}

// One channel of one backup, read through the channel file tables.
struct channel_reading {
  const found_channel_file* gear_file = nullptr;
  const found_channel_file* device_file = nullptr;
  channel_view gear{channel_file_kind::gear, {}, 1};
  channel_view device{channel_file_kind::device, {}, 0};
  std::vector<std::size_t> entries;  // gear entries with a short address or a name
  std::array<std::string, kGroupEntryCount> group_names;
  bool named_groups = false;
  bool devices_read = false;  // a device file of a layout the tables read
  std::vector<std::size_t> devices;

  bool anything() const { return !entries.empty() || named_groups || !devices.empty(); }
};

channel_reading read_channel(const backup_contents& contents, unsigned channel) {
  channel_reading r;
  r.gear_file = find_channel_file(contents, channel, channel_file_kind::gear);
  r.device_file = find_channel_file(contents, channel, channel_file_kind::device);
  if (r.gear_file) {
    r.gear = channel_view_of(channel_file_kind::gear, r.gear_file->bytes);
    for (std::size_t i = 0; i < gear_entry_region.count; ++i) {
      if (record_in_use(r.gear, gear_entry_region, i)) r.entries.push_back(i);
    }
    static const channel_field& name = *find_field(group_entry_region, "name");
    for (std::size_t g = 0; g < kGroupEntryCount; ++g) {
      r.group_names[g] = field_text(field_bytes(r.gear, group_entry_region, g, name));
      r.named_groups |= !r.group_names[g].empty();
    }
  }
  if (r.device_file) {
    r.device = channel_view_of(channel_file_kind::device, r.device_file->bytes);
    r.devices_read = r.device.layout == 2 || r.device.layout == 3;
    for (std::size_t d = 0; r.devices_read && d < device_entry_region.count; ++d) {
      if (record_in_use(r.device, device_entry_region, d)) r.devices.push_back(d);
    }
  }
  return r;
}

std::uint32_t number_of(const channel_view& view, const channel_region& region, std::size_t index,
                        const char* name) {
  return field_number(view, region, index, name).value_or(0);
}

std::string name_of(const channel_view& view, const channel_region& region, std::size_t index) {
  static const channel_field& gear_name = *find_field(gear_entry_region, "name");
  static const channel_field& device_name = *find_field(device_entry_region, "name");
  const channel_field& field = &region == &gear_entry_region ? gear_name : device_name;
  return field_text(field_bytes(view, region, index, field));
}

// A gear or device entry's short address, or "–" when it has none.
void put_short_address(std::string& out, const channel_view& view, const channel_region& region,
                       std::size_t index) {
  const std::optional<unsigned> address = entry_short_address(
      number_of(view, region, index, "flags"),
      static_cast<std::uint8_t>(number_of(view, region, index, "address_byte")));
  if (address) {
    put_number(out, *address);
  } else {
    out += "–";
  }
}

// The row heading of the group and scene tables: the entry and its name.
void put_entry_heading(std::string& out, const channel_reading& r, std::size_t entry) {
  out += "<tr><th>";
  put_number(out, entry);
  out += "<td>";
  put_text(out, name_of(r.gear, gear_entry_region, entry));
}

void put_gear_table(std::string& out, const channel_reading& r) {
  out +=
      "<h4>Gear</h4>\n<table class=gear><thead><tr><th>Entry<th>Short address<th>Name<th>Groups"
      "<th>Level 1<th>Level 2<th>Level 3<th>Level 4<th>Fade rate<th>Fade time<th>Device type"
      "</thead>\n<tbody>\n";
  for (const std::size_t e : r.entries) {
    out += "<tr><td>";
    put_number(out, e);
    out += "<td>";
    put_short_address(out, r.gear, gear_entry_region, e);
    out += "<td>";
    put_text(out, name_of(r.gear, gear_entry_region, e));
    out += "<td>";
    const std::uint32_t groups = number_of(r.gear, gear_entry_region, e, "groups");
    const char* separator = "";
    for (unsigned g = 0; g < kGroupEntryCount; ++g) {
      if (!(groups & (1u << g))) continue;
      out += separator;
      put_number(out, g);
      separator = ", ";
    }
    for (const char* level : {"level_1", "level_2", "level_3", "level_4"}) {
      put_level_cell(out, number_of(r.gear, gear_entry_region, e, level), kNoLevel);
    }
    for (const char* field : {"fade_rate", "fade_time", "device_type"}) {
      out += "<td>";
      put_number(out, number_of(r.gear, gear_entry_region, e, field));
    }
    out += "</tr>\n";
  }
  out += "</tbody></table>\n";
}

void put_group_matrix(std::string& out, const channel_reading& r) {
  out += "<h4>Group membership</h4>\n<table class=matrix><thead><tr><th>Entry<th>Name";
  for (unsigned g = 0; g < kGroupEntryCount; ++g) {
    out += "<th class=g>";
    put_number(out, g);
    if (!r.group_names[g].empty()) {
      out += "<div>";
      put_text(out, r.group_names[g]);
      out += "</div>";
    }
  }
  out += "</thead>\n<tbody>\n";
  for (const std::size_t e : r.entries) {
    put_entry_heading(out, r, e);
    const std::uint32_t groups = number_of(r.gear, gear_entry_region, e, "groups");
    for (unsigned g = 0; g < kGroupEntryCount; ++g) {
      out += groups & (1u << g) ? "<td class=m>●" : "<td>";
    }
    out += "</tr>\n";
  }
  out += "</tbody></table>\n";
}

void put_scene_table(std::string& out, const channel_reading& r) {
  static const channel_field& scenes = *find_field(gear_entry_region, "scenes");
  out +=
      "<h4>Scenes</h4>\n<p class=quiet>Each scene's level, 0 (off) to 254 (full), shaded by it; "
      "empty where the entry is not in the scene.</p>\n"
      "<div class=wide><table class=scenes><thead><tr><th>Entry<th>Name";
  for (std::size_t s = 0; s < kSceneCount; ++s) {
    out += "<th>";
    put_number(out, s);
  }
  out += "</thead>\n<tbody>\n";
  for (const std::size_t e : r.entries) {
    put_entry_heading(out, r, e);
    const std::span<const std::uint8_t> levels = field_bytes(r.gear, gear_entry_region, e, scenes);
    for (const std::uint8_t level : levels) {
      if (level == kNotInScene) {
        out += "<td>";
        continue;
      }
      out += "<td class=l";
      put_number(out, level / 16u);
      out += '>';
      put_number(out, level);
    }
    out += "</tr>\n";
  }
  out += "</tbody></table></div>\n";
}

// The instance types whose records the inputs CSV carries: their name, and
// the record bytes their columns hold.
struct instance_type {
  std::uint8_t type;
  const char* name;
  std::size_t from;
  std::size_t count;
};
constexpr instance_type kInstanceTypes[] = {
    {kInstancePushButton, "push button", 0, 6},
    {kInstanceOccupancy, "occupancy sensor", 1, 3},
    {kInstanceLight, "light sensor", 1, 2},
};

void put_device_table(std::string& out, const channel_reading& r) {
  static const channel_field& pairs_field =
      *find_field(device_entry_region, "instance_types_values");
  out +=
      "<h4>Input devices</h4>\n<table class=devices><thead><tr><th>Device<th>Short address"
      "<th>Name<th>Instances<th>Instance<th>Type<th>Value<th>Values of its type</thead>\n<tbody>\n";
  for (const std::size_t d : r.devices) {
    const std::span<const std::uint8_t> pairs =
        field_bytes(r.device, device_entry_region, d, pairs_field);
    const std::uint32_t count = number_of(r.device, device_entry_region, d, "instance_count");
    // Every instance the count covers, or whose type or value is set.
    std::vector<std::size_t> shown;
    for (std::size_t j = 0; j < kInstanceCount && pairs.size() == 2 * kInstanceCount; ++j) {
      if (j < count || pairs[2 * j] != 0 || pairs[2 * j + 1] != 0) shown.push_back(j);
    }
    const std::size_t rows = std::max<std::size_t>(shown.size(), 1);
    // The device's own cells span its instances' rows.
    std::string device_cell = "<td>";
    if (rows > 1) device_cell = "<td rowspan=" + std::to_string(rows) + ">";
    out += "<tr>";
    out += device_cell;
    put_number(out, d);
    out += device_cell;
    put_short_address(out, r.device, device_entry_region, d);
    out += device_cell;
    put_text(out, name_of(r.device, device_entry_region, d));
    out += device_cell;
    put_number(out, count);
    if (shown.empty()) out += "<td><td><td><td></tr>\n";
    for (std::size_t k = 0; k < shown.size(); ++k) {
      const std::size_t j = shown[k];
      if (k > 0) out += "<tr>";
      out += "<td>";
      put_number(out, j);
      const instance_type* type = nullptr;
      for (const instance_type& t : kInstanceTypes) {
        if (t.type == pairs[2 * j]) type = &t;
      }
      out += "<td>";
      if (type) {
        out += type->name;
      } else {
        out += "type ";
        put_number(out, pairs[2 * j]);
      }
      out += "<td>";
      put_number(out, pairs[2 * j + 1]);
      out += "<td>";
      const std::span<const std::uint8_t> record = instance_record(r.device, d, j);
      for (std::size_t v = 0; type && v < type->count && type->from + v < record.size(); ++v) {
        if (v > 0) out += ',';
        put_number(out, record[type->from + v]);
      }
      out += "</tr>\n";
    }
  }
  out += "</tbody></table>\n";
}

void put_channel(std::string& out, const backup_section& b, std::size_t n, unsigned channel) {
  const channel_reading r = read_channel(b.contents, channel);
  out += r.anything() ? "<section class=\"channel full\" id=\"c" : "<section class=channel id=\"c";
  put_number(out, n);
  out += '-';
  put_number(out, channel);
  out += "\">\n<h3>Channel ";
  put_number(out, channel);
  out += " <span class=quiet>· ";
  put_text(out, controller_label(b));
  out += "</span></h3>\n";
  if (!r.anything()) {
    if (!r.gear_file && !r.device_file) {
      out += "<p class=quiet>The backup holds no channel file of this channel.</p>\n";
    } else if (r.device_file && !r.devices_read) {
      out +=
          "<p class=quiet>No gear entry or group is set; the device file's layout is carried, "
          "not read.</p>\n";
    } else {
      out += "<p class=quiet>Nothing is set on this channel.</p>\n";
    }
    out += "</section>\n";
    return;
  }
  if (!r.entries.empty()) {
    put_gear_table(out, r);
  } else {
    out +=
        r.gear_file
            ? "<h4>Gear</h4>\n<p class=quiet>No gear entry has a short address or a name.</p>\n"
            : "<h4>Gear</h4>\n<p class=quiet>The backup holds no gear file of this channel.</p>\n";
  }
  if (r.gear_file) put_group_matrix(out, r);
  if (!r.entries.empty()) put_scene_table(out, r);
  if (!r.devices.empty()) {
    put_device_table(out, r);
  } else {
    out += "<h4>Input devices</h4>\n<p class=quiet>";
    if (!r.device_file) {
      out += "The backup holds no device file of this channel.";
    } else if (!r.devices_read) {
      std::string text;
      format_text(text, "The device file (layout %u) is carried, not read.", r.device.layout);
      out += text;
    } else {
      out += "No input devices.";
    }
    out += "</p>\n";
  }
  out += "</section>\n";
}

void put_findings_count(std::string& out, std::size_t findings) {
  if (findings == 0) {
    out += "<span class=ok>no findings</span>";
    return;
  }
  out += "<span class=bad>⚠ ";
  put_number(out, findings);
  out += findings == 1 ? " finding</span>" : " findings</span>";
}

void put_controller(std::string& out, const backup_section& b, std::size_t n, bool page_break) {
  out +=
      page_break ? "<section class=\"controller brk\" id=\"c" : "<section class=controller id=\"c";
  put_number(out, n);
  out += "\">\n<h2>";
  put_text(out, controller_label(b));
  out += "</h2>\n<dl>";
  const backup_contents& c = b.contents;
  const std::pair<const char*, const std::optional<std::string>*> identity[] = {
      {"Model", &c.model_name},
      {"Firmware version", &c.firmware_version},
      {"Serial number", &c.serial_number},
      {"MAC address", &c.mac},
  };
  for (const auto& [label, value] : identity) {
    out += "<dt>";
    out += label;
    out += "<dd>";
    if (*value) {
      put_text(out, **value);
    } else {
      out += "<span class=quiet>not recorded</span>";
    }
  }
  out += "<dt>Backup file<dd>";
  put_text(out, base_name(b.path));
  out += "<dt>Backup taken<dd>";
  put_text(out, c.taken ? local_time_text(*c.taken) : "not recorded");
  out += "</dl>\n";
  if (b.findings.empty()) {
    out +=
        "<p class=ok>✓ No findings: every member and channel file reads as a restore "
        "takes it.</p>\n";
  } else {
    out += "<div class=findings><h3>";
    put_findings_count(out, b.findings.size());
    out += "</h3>\n<ul>\n";
    for (const finding& f : b.findings) {
      out += "<li>";
      if (!f.where.empty()) {
        out += "<b>";
        put_text(out, f.where);
        out += ":</b> ";
      }
      put_text(out, f.text);
      out += '\n';
    }
    out += "</ul></div>\n";
  }
  if (b.read) {
    for (unsigned channel = 1; channel <= kChannels; ++channel) put_channel(out, b, n, channel);
  }
  out += "</section>\n";
}

backup_section read_backup(const std::string& path) {
  backup_section b;
  b.path = path;
  std::string error;
  std::error_code failed;
  if (!std::filesystem::is_regular_file(path, failed)) {
    error = std::filesystem::exists(path, failed) ? "not a file" : "no such file";
  } else {
    b.read = backup_read_zip(path, b.contents, error);
  }
  if (!b.read) {
    b.contents = {};
    b.findings.push_back({{}, "cannot be read: " + error});
  } else {
    b.findings = findings_of(b.contents);
  }
  return b;
}

}  // namespace

report_page report_html(const std::vector<std::string>& backup_paths,
                        const report_options& options) {
  std::vector<backup_section> sections;
  sections.reserve(backup_paths.size());
  report_page page;
  for (const std::string& path : backup_paths) {
    sections.push_back(read_backup(path));
    const backup_section& b = sections.back();
    page.findings += b.findings.size();
    page.backups.push_back({path, b.findings.size(), b.read ? "" : b.findings.front().text});
  }
  std::string& out = page.html;
  out.reserve(sections.size() * 200000);
  out += "<!DOCTYPE html>\n<html lang=en>\n<head>\n";
  out += kHead;
  out += "<title>";
  put_text(out, options.title);
  out += "</title>\n</head>\n<body>\n<header><h1>";
  put_text(out, options.title);
  out += "</h1>\n<p>Made ";
  put_text(out, options.made.empty() ? local_time_text(std::time(nullptr)) : options.made);
  out += " · ";
  put_number(out, sections.size());
  out += sections.size() == 1 ? " controller · " : " controllers · ";
  put_findings_count(out, page.findings);
  out += "</p></header>\n";
  const bool contents = sections.size() > 1;
  if (contents) {
    out += "<nav><h2>Contents</h2>\n<ol>\n";
    for (std::size_t i = 0; i < sections.size(); ++i) {
      out += "<li><a href=\"#c";
      put_number(out, i + 1);
      out += "\">";
      put_text(out, controller_label(sections[i]));
      out += "</a> <span class=quiet>";
      put_text(out, base_name(sections[i].path));
      out += "</span> · ";
      put_findings_count(out, sections[i].findings.size());
      out += '\n';
    }
    out += "</ol></nav>\n";
  }
  for (std::size_t i = 0; i < sections.size(); ++i) {
    put_controller(out, sections[i], i + 1, contents || i > 0);
  }
  out += "</body>\n</html>\n";
  return page;
}

}  // namespace torvi
