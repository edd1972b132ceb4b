#include "inspect/report.h"

#include <algorithm>
#include <cstdio>

namespace torvi::inspect {

node& node::add(std::string key, node value) {
  kind = type::object;
  members.push_back({std::move(key), std::move(value)});
  return members.back().second;
}

node& node::push(node value) {
  kind = type::list;
  items.push_back(std::move(value));
  return items.back();
}

const node* node::find(const std::string& key) const {
  for (const auto& [name, value] : members) {
    if (name == key) return &value;
  }
  return nullptr;
}

node null_node() {
  return {};
}

node bool_node(bool value) {
  node n;
  n.kind = node::type::boolean;
  n.flag = value;
  return n;
}

node number_node(std::int64_t value) {
  node n;
  n.kind = node::type::number;
  n.number = value;
  return n;
}

node text_node(std::string value) {
  node n;
  n.kind = node::type::text;
  n.text = std::move(value);
  return n;
}

node list_node() {
  node n;
  n.kind = node::type::list;
  return n;
}

node object_node() {
  node n;
  n.kind = node::type::object;
  return n;
}

node bytes_node(std::span<const std::uint8_t> bytes) {
  node n = list_node();
  n.items.reserve(bytes.size());
  for (std::uint8_t b : bytes) n.items.push_back(number_node(b));
  return n;
}

namespace {

// The length of the UTF-8 sequence at `s` (at most `left` bytes), 0 when
// it is not one.
std::size_t utf8_length(const unsigned char* s, std::size_t left) {
  std::size_t n;
  if (s[0] < 0x80) return 1;
  if (s[0] >= 0xC2 && s[0] <= 0xDF) {
    n = 2;
  } else if (s[0] >= 0xE0 && s[0] <= 0xEF) {
    n = 3;
  } else if (s[0] >= 0xF0 && s[0] <= 0xF4) {
    n = 4;
  } else {
    return 0;
  }
  if (left < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
  }
  // Overlong three- and four-byte forms, surrogates and code points above
  // U+10FFFF.
  if (n == 3 && ((s[0] == 0xE0 && s[1] < 0xA0) || (s[0] == 0xED && s[1] >= 0xA0))) return 0;
  if (n == 4 && ((s[0] == 0xF0 && s[1] < 0x90) || (s[0] == 0xF4 && s[1] >= 0x90))) return 0;
  return n;
}

void json_string(std::string& out, const std::string& text) {
  out += '"';
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = s[i];
    const std::size_t n = utf8_length(s + i, text.size() - i);
    if (n > 1) {
      out.append(text, i, n);
      i += n;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || n == 0 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  out += '"';
}

// A line break and the indent of `depth` levels.
void json_break(std::string& out, int depth) {
  out += '\n';
  out.append(2 * static_cast<std::size_t>(depth), ' ');
}

void json_value(std::string& out, const node& n, int depth) {
  switch (n.kind) {
    case node::type::null:
      out += "null";
      return;
    case node::type::boolean:
      out += n.flag ? "true" : "false";
      return;
    case node::type::number:
      out += std::to_string(n.number);
      return;
    case node::type::text:
      json_string(out, n.text);
      return;
    case node::type::list: {
      const bool flat = std::all_of(n.items.begin(), n.items.end(), [](const node& item) {
        return item.kind != node::type::list && item.kind != node::type::object;
      });
      out += '[';
      for (std::size_t i = 0; i < n.items.size(); ++i) {
        if (i) out += ',';
        if (!flat) json_break(out, depth + 1);
        json_value(out, n.items[i], depth + 1);
      }
      if (!flat && !n.items.empty()) json_break(out, depth);
      out += ']';
      return;
    }
    case node::type::object:
      out += '{';
      for (std::size_t i = 0; i < n.members.size(); ++i) {
        if (i) out += ',';
        json_break(out, depth + 1);
        json_string(out, n.members[i].first);
        out += ": ";
        json_value(out, n.members[i].second, depth + 1);
      }
      if (!n.members.empty()) json_break(out, depth);
      out += '}';
      return;
  }
}

bool is_table(const node& n) {
  return n.kind == node::type::list && !n.items.empty() &&
         std::all_of(n.items.begin(), n.items.end(),
                     [](const node& item) { return item.kind == node::type::object; });
}

// A table whose rows hold objects of their own reads better as one block
// per row.
bool has_object_members(const node& list) {
  return std::any_of(list.items.begin(), list.items.end(), [](const node& row) {
    return std::any_of(row.members.begin(), row.members.end(),
                       [](const auto& member) { return member.second.kind == node::type::object; });
  });
}

std::string label(const std::string& key) {
  std::string text = key;
  std::replace(text.begin(), text.end(), '_', ' ');
  return text;
}

// A value on one line: lists of scalars joined by commas, objects as
// "key=value" pairs.
std::string inline_text(const node& n) {
  switch (n.kind) {
    case node::type::null:
      return "-";
    case node::type::boolean:
      return n.flag ? "yes" : "no";
    case node::type::number:
      return std::to_string(n.number);
    case node::type::text: {
      // A name with a line break or tab in it must not break the table.
      std::string text;
      for (const char c : n.text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(c));
          text += escape;
        } else {
          text += c;
        }
      }
      return text;
    }
    case node::type::list: {
      std::string text;
      for (std::size_t i = 0; i < n.items.size(); ++i) {
        if (i) text += ',';
        text += inline_text(n.items[i]);
      }
      return n.items.empty() ? "-" : text;
    }
    case node::type::object: {
      std::string text;
      for (const auto& [key, value] : n.members) {
        if (!text.empty()) text += ' ';
        text += label(key) + "=" + inline_text(value);
      }
      return text;
    }
  }
  return {};
}

void text_table(std::string& out, const node& list, const std::string& indent) {
  // Columns in the order members first appear; a member that is a list of
  // records in any row goes under each row as a table of its own.
  std::vector<std::string> columns;
  std::vector<std::string> nested;
  for (const node& row : list.items) {
    for (const auto& [key, value] : row.members) {
      if (is_table(value) && std::find(nested.begin(), nested.end(), key) == nested.end()) {
        nested.push_back(key);
      }
    }
  }
  for (const node& row : list.items) {
    for (const auto& [key, value] : row.members) {
      if (std::find(nested.begin(), nested.end(), key) != nested.end()) continue;
      if (std::find(columns.begin(), columns.end(), key) == columns.end()) columns.push_back(key);
    }
  }
  std::vector<std::vector<std::string>> cells;
  std::vector<std::size_t> widths;
  for (const std::string& column : columns) widths.push_back(label(column).size());
  for (const node& row : list.items) {
    std::vector<std::string> line;
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const node* value = row.find(columns[c]);
      line.push_back(value ? inline_text(*value) : "");
      widths[c] = std::max(widths[c], line.back().size());
    }
    cells.push_back(std::move(line));
  }
  auto write_line = [&](const std::vector<std::string>& line) {
    std::string text = indent;
    for (std::size_t c = 0; c < line.size(); ++c) {
      text += line[c];
      if (c + 1 < line.size()) text += std::string(widths[c] - line[c].size() + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + "\n";
  };
  std::vector<std::string> heading;
  for (const std::string& column : columns) heading.push_back(label(column));
  write_line(heading);
  for (std::size_t r = 0; r < list.items.size(); ++r) {
    write_line(cells[r]);
    for (const std::string& key : nested) {
      const node* value = list.items[r].find(key);
      if (!value || !is_table(*value)) continue;
      out += indent + "  " + label(key) + ":\n";
      text_table(out, *value, indent + "    ");
    }
  }
}

void text_value(std::string& out, const node& n, const std::string& indent);

// One block per row, each member on its own line.
void text_sections(std::string& out, const node& list, const std::string& indent) {
  for (const node& row : list.items) {
    std::string block;
    text_value(block, row, indent + "  ");
    block.replace(indent.size(), 2, "- ");
    out += block;
  }
}

void text_value(std::string& out, const node& n, const std::string& indent) {
  if (n.kind != node::type::object) {
    if (is_table(n)) {
      has_object_members(n) ? text_sections(out, n, indent) : text_table(out, n, indent);
    } else {
      out += indent + inline_text(n) + "\n";
    }
    return;
  }
  for (const auto& [key, value] : n.members) {
    if (value.kind == node::type::object || is_table(value)) {
      out += indent + label(key) + ":\n";
      text_value(out, value, indent + "  ");
    } else {
      out += indent + label(key) + ": " + inline_text(value) + "\n";
    }
  }
}

}  // namespace

std::string to_json(const node& root) {
  std::string out;
  json_value(out, root, 0);
  out += '\n';
  return out;
}

std::string to_text(const node& root) {
  std::string out;
  text_value(out, root, "");
  return out;
}

}  // namespace torvi::inspect
