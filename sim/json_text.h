#pragma once
// Flat JSON objects of string members: the status document, status.txt and
// the log lines.

#include <string>
#include <utility>
#include <vector>

namespace korvan {

using JsonMembers = std::vector<std::pair<std::string, std::string>>;

// `text` as a JSON string literal, quotes included; control characters and
// bytes that are not UTF-8 text are escaped.
std::string json_quote(const std::string& text);

// {"name":"value",...} in the given order, on one line.
std::string json_object(const JsonMembers& members);

}  // namespace korvan
