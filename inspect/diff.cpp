#include <getopt.h>

#include <algorithm>
#include <array>
#include <map>
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
    "Other members of backups are compared byte for byte. Backups are read as\n"
    "put_backup restores them: where an entry or member is named twice, the one a\n"
    "restore leaves is compared, and the duplicate is listed as a problem.\n"
    "Restoring B over a controller that holds A changes exactly what is listed.\n"
    "\n"
    "  --json   one JSON document instead of tables\n"
    "  --help   this text\n"
    "\n"
    "Exit status: 0 no differences; 1 differences, a problem in either file, or a\n"
    "file cannot be read; 2 a usage error (files of different kinds among them).\n",
};

bool is_bare(source_kind kind) {
  return kind == source_kind::gear_file || kind == source_kind::device_file;
}

std::string channel_key(const found_channel_file& f) {
  return std::string(f.kind == channel_file_kind::gear ? "dali" : "cd") + std::to_string(f.channel);
}

node identity_changes(const backup_contents& a, const backup_contents& b) {
  node changes = list_node();
  const std::pair<const char*, std::optional<std::string> backup_contents::*> keys[] = {
      {"model_name", &backup_contents::model_name},
      {"firmware_version", &backup_contents::firmware_version},
      {"serial_number", &backup_contents::serial_number},
      {"mac", &backup_contents::mac},
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

// Both sides' problems, each row saying whose it is.
node side_problems(const backup_contents (&contents)[2], const source_file (&files)[2]) {
  node problems = list_node();
  for (int i = 0; i < 2; ++i) {
    const bool entries = files[i].kind == source_kind::zip_backup;
    for (node& row : problems_node(contents[i], entries).items) {
      node problem = object_node();
      problem.add("side", text_node(i ? "B" : "A"));
      if (!entries) problem.add("entry", null_node());
      for (auto& [key, value] : row.members) problem.add(key, std::move(value));
      problems.push(std::move(problem));
    }
  }
  return problems;
}

// Every member besides the channel files, by entry and name, compared by
// content: what a restore leaves, and what it does not send at all.
node other_members(const backup_contents (&contents)[2], bool& differ) {
  std::vector<std::string> order;
  std::map<std::string, std::array<const found_member*, 2>> sides;
  for (int i = 0; i < 2; ++i) {
    for (const found_member& m : contents[i].members) {
      // Channel files are compared field by field above; a file written
      // again later is not what the controller keeps.
      if (m.channel_file || m.fate == member_fate::superseded) continue;
      const std::string name = m.entry.empty() ? m.name : m.entry + ":" + m.name;
      auto [at, added] = sides.try_emplace(name);
      if (added) order.push_back(name);
      at->second[i] = &m;
    }
  }
  node others = list_node();
  for (const std::string& name : order) {
    const auto& [a, b] = sides[name];
    const char* status = !a ? "only in B" : !b ? "only in A" : nullptr;
    if (!status && (a->size != b->size || a->digest != b->digest || a->problem != b->problem)) {
      status = "differs";
    }
    if (!status) continue;
    differ = true;
    node member = object_node();
    member.add("member", text_node(name));
    member.add("status", text_node(status));
    others.push(std::move(member));
  }
  return others;
}

}  // namespace

int diff_command(int argc, char** argv) {
  bool json = false;
  if (const std::optional<int> status = read_json_option(argc, argv, kHelp, json)) return *status;
  if (argc - optind != 2) return usage_error(kHelp, "two files, A and B, are needed");
  source_file files[2];
  backup_contents contents[2];
  for (int i = 0; i < 2; ++i) {
    std::string error;
    const char* path = argv[optind + i];
    if (!load_source(path, files[i], error)) return file_error(path, "%s", error.c_str());
    if (i == 1 && is_bare(files[0].kind) && is_bare(files[1].kind) &&
        files[0].kind != files[1].kind) {
      return usage_error(kHelp, "'%s' is a %s and '%s' a %s: they cannot be compared",
                         files[0].path.c_str(), source_kind_name(files[0].kind),
                         files[1].path.c_str(), source_kind_name(files[1].kind));
    }
  }
  for (int i = 0; i < 2; ++i) {
    std::string error;
    if (!read_contents(files[i], contents[i], error)) {
      return file_error(
          files[i].path.c_str(), "%s",
          error.empty() ? "not a backup, configuration archive or channel file" : error.c_str());
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
      if (!side[i]) {
        return file_error(files[i].path.c_str(), "holds no %s file of channel %u to compare with",
                          known.kind == channel_file_kind::gear ? "gear" : "device", known.channel);
      }
    }
    channel_files.push(file_node(side[0], side[1], differ));
  } else {
    report.add("controller", identity_changes(contents[0], contents[1]));
    // A restore leaves one file per channel and kind, which is what is compared.
    std::vector<std::string> keys;
    for (const backup_contents& c : contents) {
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
          if (channel_key(f) == key) side[i] = &f;
        }
      }
      channel_files.push(file_node(side[0], side[1], differ));
    }
  }
  report.add("channel_files", std::move(channel_files));
  if (!bare[0] && !bare[1]) report.add("other_members", other_members(contents, differ));
  node problems = side_problems(contents, files);
  const bool problem = !problems.items.empty();
  report.add("problems", std::move(problems));
  report.add("differ", bool_node(differ));
  write_report(report, json);
  return differ || problem ? EXIT_PROBLEM : EXIT_GOOD;
}

}  // namespace torvi::inspect
