#include <getopt.h>

#include <string>

#include "backup/backup.h"
#include "inspect/channel_report.h"
#include "inspect/commands.h"
#include "inspect/inspect.h"
#include "platform/console.h"

namespace torvi::inspect {
namespace {

constexpr command_help kHelp = {
    "show",
    "Usage: torvi-inspect show [--json] FILE\n"
    "Shows what FILE holds, found out from its name and content:\n"
    "  a ZIP backup made by get_backup: its entries, the controller's identity and\n"
    "    every channel file, found as put_backup finds them; whatever a restore\n"
    "    would skip or take twice is listed under problems;\n"
    "  a configuration tar, or a bare gear file (dali1.bin..dali4.bin) or device\n"
    "    file (cd1.bin..cd4.bin): the header and every gear entry with a short\n"
    "    address, every named group and every input device;\n"
    "  a firmware package (.bin) or raw image (.binary): the checks push_firmware\n"
    "    makes, the information block, and whether push_firmware would accept it.\n"
    "\n"
    "  --json   one JSON document instead of tables\n"
    "  --help   this text\n"
    "\n"
    "Exit status: 0 all is well; 1 a checksum, a length or an archive member is\n"
    "wrong, a problem is listed, the firmware file would be refused, or FILE cannot\n"
    "be read; 2 a usage error.\n",
};

node identity_node(const backup_contents& contents) {
  node identity = object_node();
  const std::pair<const char*, const std::optional<std::string>*> keys[] = {
      {"model_name", &contents.model_name},
      {"firmware_version", &contents.firmware_version},
      {"serial_number", &contents.serial_number},
      {"mac", &contents.mac},
  };
  for (const auto& [key, value] : keys) {
    identity.add(key, *value ? text_node(**value) : null_node());
  }
  return identity;
}

// Whether a channel file's header is sound.
bool header_sound(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= kHeaderSize && config_checksum_ok(bytes) &&
         config_header_load(bytes.data()).length == bytes.size();
}

}  // namespace

node problems_node(const backup_contents& contents, bool entries) {
  node problems = list_node();
  for (const backup_problem& p : contents.problems) {
    node problem = object_node();
    if (entries) problem.add("entry", text_node(p.entry));
    problem.add("member", p.member.empty() ? null_node() : text_node(p.member));
    problem.add("problem", text_node(p.text));
    problems.push(std::move(problem));
  }
  return problems;
}

namespace {

int show_configuration(const source_file& file, node& report) {
  backup_contents contents;
  std::string error;
  if (!read_contents(file, contents, error))
    return file_error(file.path.c_str(), "%s", error.c_str());
  int status = EXIT_GOOD;
  if (file.kind == source_kind::zip_backup || file.kind == source_kind::config_tar) {
    report.add("controller", identity_node(contents));
    node members = list_node();
    for (const found_member& m : contents.members) {
      // Every configuration archive carries the controller's status; the
      // identity above is taken from it.
      if (file.kind == source_kind::zip_backup && m.name == "status.txt" && m.problem.empty()) {
        continue;
      }
      node member = object_node();
      if (file.kind == source_kind::zip_backup) {
        member.add("entry", text_node(m.entry));
        const backup_restore_row* row = backup_restore_lookup(m.entry);
        member.add("configuration", row ? text_node(row->member) : null_node());
      }
      member.add("member", text_node(m.name));
      member.add("size", number_node(static_cast<std::int64_t>(m.size)));
      member.add("problem", m.problem.empty() ? null_node() : text_node(m.problem));
      if (!m.problem.empty()) status = EXIT_PROBLEM;
      members.push(std::move(member));
    }
    report.add(file.kind == source_kind::zip_backup ? "entries" : "members", std::move(members));
    report.add("problems", problems_node(contents, file.kind == source_kind::zip_backup));
    if (!contents.problems.empty()) status = EXIT_PROBLEM;
  }
  node files = list_node();
  for (const found_channel_file& f : contents.files) {
    node shown = object_node();
    if (!f.entry.empty()) shown.add("entry", text_node(f.entry));
    shown.add("member", text_node(f.member));
    shown.add("channel", number_node(f.channel));
    shown.add("kind", text_node(f.kind == channel_file_kind::gear ? "gear" : "device"));
    node decoded = channel_file_node(channel_view_of(f.kind, f.bytes));
    for (auto& [key, value] : decoded.members) shown.add(key, std::move(value));
    if (!header_sound(f.bytes)) status = EXIT_PROBLEM;
    files.push(std::move(shown));
  }
  if (file.kind == source_kind::gear_file || file.kind == source_kind::device_file) {
    // The file and its kind are named already.
    node only = std::move(files.items.front());
    for (auto& [key, value] : only.members) {
      if (key != "member" && key != "kind") report.add(key, std::move(value));
    }
  } else {
    report.add("channel_files", std::move(files));
  }
  return status;
}

}  // namespace

void write_report(const node& report, bool json) {
  const std::string text = json ? to_json(report) : to_text(report);
  console_out("%s", text.c_str());
}

int show_command(int argc, char** argv) {
  bool json = false;
  if (const std::optional<int> status = read_json_option(argc, argv, kHelp, json)) return *status;
  if (argc - optind != 1) return usage_error(kHelp, "one FILE is needed");
  source_file file;
  std::string error;
  if (!load_source(argv[optind], file, error)) return file_error(argv[optind], "%s", error.c_str());
  if (file.kind == source_kind::unknown) {
    return file_error(argv[optind],
                      "not a backup, configuration archive, channel file or firmware file");
  }
  node report = object_node();
  report.add("file", text_node(file.path));
  report.add("kind", text_node(source_kind_name(file.kind)));
  const bool firmware =
      file.kind == source_kind::firmware_package || file.kind == source_kind::firmware_image;
  const int status = firmware ? show_firmware(file, report) : show_configuration(file, report);
  if (report.members.size() > 2 || firmware) write_report(report, json);
  return status;
}

}  // namespace torvi::inspect
