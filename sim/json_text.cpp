#include "sim/json_text.h"

#include <cstdio>

namespace korvan {

std::string json_quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          // Names inside uploads are arbitrary bytes; keep the log line valid
          // JSON by writing every non-ASCII byte as its own escape.
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          out += escape;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string json_object(const JsonMembers& members) {
  std::string out = "{";
  for (size_t i = 0; i < members.size(); ++i) {
    if (i) out += ",";
    out += json_quote(members[i].first) + ":" + json_quote(members[i].second);
  }
  return out + "}";
}

}  // namespace korvan
