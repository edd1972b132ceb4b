#include <getopt.h>

#include <algorithm>
#include <string>

#include "inspect/channel_diff.h"
#include "inspect/commands.h"
#include "inspect/inspect.h"

namespace torvi::inspect {
namespace {

constexpr command_help kHelp = {
    "diff",
    "Usage: torvi-inspect diff [--json] A B\n"
    "Compares two backups, configuration tars or channel files (dali1.bin..dali4.bin,\n"
    "cd1.bin..cd4.bin) field by field: which gear entries, groups, devices and\n"
    "header fields differ, and from what to what. A backup against a bare channel\n"
    "file compares that file with the backup's file of the same channel and kind.\n"
    "Other members of backups are compared byte for byte. Restoring B over a\n"
    "controller that holds A changes exactly what is listed.\n"
    "\n"
    "  --json   one JSON document instead of tables\n"
    "  --help   this text\n"
    "\n"
    "Exit status: 0 no differences; 1 differences, or a file cannot be read;\n"
    "2 a usage error.\n",
};

// A file of either side, by the name it goes by in the comparison.
struct side_file {
  std::string name;  // ZIP entry and member, or the bare file's name
  const found_channel_file* channel = nullptr;
  const found_member* member = nullptr;
  const std::vector<std::uint8_t>* bytes = nullptr;
};

bool is_bare(source_kind kind) {
  return kind == source_kind::gear_file || kind == source_kind::device_file;
}

std::string channel_key(const found_channel_file& f) {
  return std::string(f.kind == channel_file_kind::gear ? "dali" : "cd") + std::to_string(f.channel);
}

node identity_changes(const source_contents& a, const source_contents& b) {
  node changes = list_node();
  const std::pair<const char*, std::optional<std::string> source_contents::*> keys[] = {
      {"model_name", &source_contents::model_name},
      {"firmware_version", &source_contents::firmware_version},
      {"serial_number", &source_contents::serial_number},
      {"mac", &source_contents::mac},
  };
  for (const auto& [key, field] : keys) {
    if (a.*field == b.*field) continue;
    node c = object_node();
    c.add("field", text_node(key));
    c.add("from", a.*field ? text_node(*(a.*field)) : null_node());
    c.add("to", b.*field ? text_node(*(b.*field)) : null_node());
    changes.push(std::move(c));
  }
  return changes;
}

node file_node(const found_channel_file* a, const found_channel_file* b, bool& differ) {
  const found_channel_file& any = a ? *a : *b;
  node file = object_node();
  file.add("channel", number_node(any.channel));
  file.add("kind", text_node(any.kind == channel_file_kind::gear ? "gear" : "device"));
  file.add("a",
           a ? text_node(a->entry.empty() ? a->member : a->entry + ":" + a->member) : null_node());
  file.add("b",
           b ? text_node(b->entry.empty() ? b->member : b->entry + ":" + b->member) : null_node());
  if (!a || !b) {
    file.add("status", text_node(a ? "only in A" : "only in B"));
    differ = true;
    return file;
  }
  node changes =
      diff_channel_files(channel_view_of(a->kind, a->bytes), channel_view_of(b->kind, b->bytes));
  file.add("status", text_node(changes.items.empty() ? "same" : "differs"));
  differ = differ || !changes.items.empty();
  file.add("changes", std::move(changes));
  return file;
}

}  // namespace

int diff_command(int argc, char** argv) {
  bool json = false;
  if (const std::optional<int> status = read_json_option(argc, argv, kHelp, json)) return *status;
  if (argc - optind != 2) return usage_error(kHelp, "two files, A and B, are needed");
  source_file files[2];
  source_contents contents[2];
  for (int i = 0; i < 2; ++i) {
    std::string error;
    const char* path = argv[optind + i];
    if (!load_source(path, files[i], error) || !read_contents(files[i], contents[i], error)) {
      return file_error(path, "%s",
                        error.empty() ? "not a backup, configuration archive or "
                                        "channel file"
                                      : error.c_str());
    }
  }
  bool differ = false;
  node report = object_node();
  report.add("a", text_node(files[0].path));
  report.add("b", text_node(files[1].path));
  node channel_files = list_node();
  const bool bare[2] = {is_bare(files[0].kind), is_bare(files[1].kind)};
  if (bare[0] || bare[1]) {
    // A bare file meets the other side's file of its channel and kind.
    const found_channel_file* side[2] = {};
    for (int i = 0; i < 2; ++i) {
      if (bare[i]) side[i] = &contents[i].files.front();
    }
    for (int i = 0; i < 2; ++i) {
      const found_channel_file& known = *side[bare[i] ? i : 1 - i];
      if (!side[i]) side[i] = find_channel_file(contents[i], known.channel, known.kind);
      if (!side[i] || side[i]->kind != known.kind) {
        return file_error(files[i].path.c_str(), "holds no %s file of channel %u to compare with",
                          known.kind == channel_file_kind::gear ? "gear" : "device", known.channel);
      }
    }
    channel_files.push(file_node(side[0], side[1], differ));
  } else {
    report.add("controller", identity_changes(contents[0], contents[1]));
    std::vector<std::string> keys;
    for (const source_contents& c : contents) {
      for (const found_channel_file& f : c.files) {
        if (std::find(keys.begin(), keys.end(), channel_key(f)) == keys.end()) {
          keys.push_back(channel_key(f));
        }
      }
    }
    for (const std::string& key : keys) {
      const found_channel_file* side[2] = {};
      for (int i = 0; i < 2; ++i) {
        for (const found_channel_file& f : contents[i].files) {
          if (channel_key(f) == key && !side[i]) side[i] = &f;
        }
      }
      channel_files.push(file_node(side[0], side[1], differ));
    }
  }
  report.add("channel_files", std::move(channel_files));
  if (!bare[0] && !bare[1]) {
    // Every other member, by entry and name, byte for byte.
    node others = list_node();
    std::vector<std::string> names;
    auto name_of = [](const found_member& m) { return m.entry + ":" + m.name; };
    for (const source_contents& c : contents) {
      for (const found_member& m : c.members) {
        unsigned channel = 0;
        channel_file_kind kind{};
        if (channel_file_name(m.name, channel, kind)) continue;
        if (std::find(names.begin(), names.end(), name_of(m)) == names.end()) {
          names.push_back(name_of(m));
        }
      }
    }
    for (const std::string& name : names) {
      const found_member* side[2] = {};
      for (int i = 0; i < 2; ++i) {
        for (const found_member& m : contents[i].members) {
          if (name_of(m) == name && !side[i]) side[i] = &m;
        }
      }
      const char* status = !side[0] ? "only in B" : !side[1] ? "only in A" : nullptr;
      if (!status) {
        status = side[0]->data == side[1]->data && side[0]->problem == side[1]->problem ? nullptr
                                                                                        : "differs";
      }
      if (!status) continue;
      differ = true;
      node member = object_node();
      member.add("member", text_node(name.front() == ':' ? name.substr(1) : name));
      member.add("status", text_node(status));
      others.push(std::move(member));
    }
    report.add("other_members", std::move(others));
  }
  report.add("differ", bool_node(differ));
  write_report(report, json);
  return differ ? EXIT_PROBLEM : EXIT_GOOD;
}

}  // namespace torvi::inspect
