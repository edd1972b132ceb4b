#include "site/summary.h"

#include <algorithm>

#include "platform/terminal.h"

namespace torvi::site {
namespace {

constexpr site_result kResults[] = {site_result::ok, site_result::failed, site_result::refused,
                                    site_result::skipped, site_result::not_started};

// The length of the UTF-8 sequence at the start of `text`; 0 when it is
// not one (stray continuation bytes, overlong or surrogate forms, cut off).
std::size_t utf8_length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length;
  unsigned long code;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

std::string iso_time(std::time_t when) {
  std::tm utc{};
  if (!platform_utc_time(when, utc)) return "1970-01-01T00:00:00Z";
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

std::size_t count_of(const site_summary& summary, site_result result) {
  return static_cast<std::size_t>(
      std::count_if(summary.outcomes.begin(), summary.outcomes.end(),
                    [&](const controller_outcome& o) { return o.result == result; }));
}

struct widths {
  std::size_t name = 4;
  std::size_t address = 7;
  std::size_t result = 11;  // "not-started"
};

widths widths_of(const std::vector<site_controller>& controllers) {
  widths w;
  for (const site_controller& c : controllers) {
    w.name = std::max(w.name, c.name.size());
    w.address = std::max(w.address, c.address.size());
  }
  return w;
}

std::string row_text(const widths& w, const std::string& name, const std::string& address,
                     const std::string& result, const std::string& detail) {
  std::string row = name + std::string(w.name - name.size() + 2, ' ') + address +
                    std::string(w.address - address.size() + 2, ' ') + result;
  if (!detail.empty()) row += std::string(w.result - result.size() + 2, ' ') + detail;
  return row + "\n";
}

}  // namespace

const char* site_result_name(site_result result) {
  switch (result) {
    case site_result::ok:
      return "ok";
    case site_result::failed:
      return "failed";
    case site_result::refused:
      return "refused";
    case site_result::skipped:
      return "skipped";
    case site_result::not_started:
      break;
  }
  return "not-started";
}

// Controllers answer with whatever bytes they like: a byte that is not
// UTF-8 becomes U+FFFD, so the document stays JSON.
std::string json_string(const std::string& text) {
  std::string out = "\"";
  std::string_view rest(text);
  while (!rest.empty()) {
    const unsigned char c = static_cast<unsigned char>(rest.front());
    const std::size_t length = utf8_length(rest);
    if (length == 0) {
      out += "\\ufffd";
      rest.remove_prefix(1);
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
    } else if (c < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out.append(rest.substr(0, length));
    }
    rest.remove_prefix(length);
  }
  return out + "\"";
}

std::string json_text_or_null(const std::optional<std::string>& text) {
  return text ? json_string(*text) : "null";
}

std::string json_string_array(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) out += (i ? ", " : "") + json_string(texts[i]);
  return out + "]";
}

std::string summary_json(const site_summary& summary) {
  std::string out = "{\n";
  out += "  \"command\": " + json_string(summary.command) + ",\n";
  out += "  \"inventory\": " + json_string(summary.inventory) + ",\n";
  out += "  \"started\": " + json_string(iso_time(summary.started)) + ",\n";
  out += "  \"finished\": " + json_string(iso_time(summary.finished)) + ",\n";
  out += "  \"controllers\": [";
  for (std::size_t i = 0; i < summary.controllers.size(); ++i) {
    const site_controller& c = summary.controllers[i];
    const controller_outcome& o = summary.outcomes[i];
    out += i ? ",\n" : "\n";
    out += "    {\"name\": " + json_string(c.name) + ", \"address\": " + json_string(c.address) +
           ", \"result\": " + json_string(site_result_name(o.result)) +
           ", \"detail\": " + json_string(o.detail) + ", \"log\": " + json_text_or_null(o.log);
    for (const auto& [name, value] : o.members) out += ", " + json_string(name) + ": " + value;
    out += "}";
  }
  out += summary.controllers.empty() ? "],\n" : "\n  ],\n";
  out += "  \"counts\": {";
  for (site_result r : kResults) {
    std::string name = site_result_name(r);
    std::replace(name.begin(), name.end(), '-', '_');
    out += (r == site_result::ok ? "" : ", ") + json_string(name) + ": " +
           std::to_string(count_of(summary, r));
  }
  return out + "}\n}\n";
}

std::string summary_row(const std::vector<site_controller>& controllers,
                        const site_controller& controller, const controller_outcome& outcome) {
  return row_text(widths_of(controllers), controller.name, controller.address,
                  site_result_name(outcome.result), outcome.detail);
}

std::string summary_table(const site_summary& summary) {
  const widths w = widths_of(summary.controllers);
  std::string out = row_text(w, "NAME", "ADDRESS", "RESULT", "DETAIL");
  for (std::size_t i = 0; i < summary.controllers.size(); ++i) {
    const site_controller& c = summary.controllers[i];
    out += row_text(w, c.name, c.address, site_result_name(summary.outcomes[i].result),
                    summary.outcomes[i].detail);
  }
  out += std::to_string(summary.controllers.size()) + " controllers: ";
  for (site_result r : kResults) {
    out += (r == site_result::ok ? "" : ", ") + std::to_string(count_of(summary, r)) + " " +
           site_result_name(r);
  }
  out += "\n";
  if (!summary.logs.empty()) out += "Logs: " + summary.logs + "\n";
  return out;
}

int summary_exit_status(const site_summary& summary) {
  for (const controller_outcome& o : summary.outcomes) {
    if (o.result != site_result::ok && o.result != site_result::skipped) return 1;
  }
  return 0;
}

}  // namespace torvi::site
