// Every fault korvan-sim can show, met by every action it reaches, run
// through the tool's entry point as a technician's command line would: the
// console lines, what reached the controller, what is left on disk, and the
// exit status after the closing pause.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zip.h>

#include <cstring>
#include <filesystem>
#include <regex>

#include "cli/cli.h"
#include "sim/firmware_maker.h"
#include "sim_fixture.h"

namespace torvi {
namespace {

namespace fs = std::filesystem;

enum Action { kGetStatus, kGetBackup, kPutBackup, kSetupChannel, kPushFirmware };

// One cell: a fault and an action that meets it.
struct Cell {
  std::string fault;
  Action action;
  // The action's console lines after the option echoes, whole: '@' stands
  // for the controller's address, '#' for a count, '*' for any text.
  std::string out;
  std::string err;   // libcurl's words in the transfer failure line; "" for none
  std::string wire;  // S status, B archive, T upload begun, U upload done, R restore, G upgrade
};

struct Outcome {
  int status = -1;
  unsigned paused = 0;
  std::string out, err;
};

unsigned* g_paused;

// Runs the whole tool in this process with the closing pause injected.
Outcome run_tool(std::vector<std::string> args) {
  Outcome o;
  g_paused = &o.paused;
  args.insert(args.begin(), "torvi-cli");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  optind = 0;  // a fresh scan, as in a new process
  test::ConsoleCapture capture;
  // The uploads give up sooner than the tool's own limits, so that a stalled
  // or lossy transfer is waited out in seconds.
  const cli_hooks hooks{[](unsigned ms) { *g_paused += ms; },
                        {.total = 10, .connect = 5, .low_speed_time = 3}};
  o.status = cli_run(static_cast<int>(args.size()), argv.data(), hooks);
  o.out = capture.out();
  o.err = capture.err();
  return o;
}

// What reached the controller, one letter per exchange.
std::string wire_of(const korvan::Simulator& sim) {
  std::string wire;
  for (const auto& e : sim.events()) {
    auto has = [&](const char* part) { return e.detail.find(part) != std::string::npos; };
    // status.ssi, backup.ssi, and the two commands on status.ssi
    if (e.kind == "http")
      wire += "SBRG"[has("backup.ssi") + 2 * has("restoreconfig") + 3 * has("firmwareupgrade")];
    if (e.kind == "tftp-request" && e.ok) wire += 'T';
    if (e.kind == "upload") wire += 'U';
  }
  return wire;
}

// The entries of the one complete ZIP archive in `dir`, or what is wrong.
std::string zip_entries(const std::string& dir) {
  const std::vector<fs::path> files{fs::directory_iterator(dir), fs::directory_iterator()};
  if (files.size() != 1 || files[0].extension() != ".zip") return "(not one zip)";
  int error = 0;
  zip_t* z = zip_open(files[0].c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
  if (!z) return "(broken zip)";
  std::string names;
  for (zip_int64_t i = 0; i < zip_get_num_entries(z, 0); ++i) names += zip_get_name(z, i, 0);
  zip_close(z);
  return names;
}

// A console pattern as a regular expression for the whole text.
std::regex pattern(const std::string& text, const std::string& ip) {
  const std::string address = std::regex_replace(ip, std::regex("\\."), "\\.");
  std::string re;
  for (char c : text)
    re += c == '@'                           ? address
          : c == '#'                         ? "[0-9]+"
          : c == '*'                         ? "[\\s\\S]*"
          : std::strchr("\\^$.|?+()[]{}", c) ? std::string("\\") + c
                                             : std::string(1, c);
  return std::regex(re);
}

// The failure lines among libcurl's progress meter on standard error.
std::string failures(const std::string& err) {
  std::string lines;
  for (size_t at = 0; (at = err.find("curl_easy_perform() failed: ", at)) != std::string::npos;)
    lines += err.substr(at + 28, err.find('\n', at) - at - 28), at = err.find('\n', at);
  return lines;
}

TEST(FaultMatrix, EveryFaultMeetsEveryActionItReaches) {
  // The inputs: a backup of dali1 as get_backup writes it, a groups CSV file
  // and a firmware package.
  test::TempDir in;
  {
    korvan::Simulator sim(korvan::SimOptions{});
    ASSERT_TRUE(sim.start());
    ASSERT_EQ(run_tool({"--action", "get_backup", "--ip", sim.ip(), "--backupfileout", in.path(),
                        "--backupfileouttype", "zip", "--backupconfig", "[\"dali1\"]"})
                  .status,
              0);
  }
  fs::rename(fs::directory_iterator(in.path())->path(), in.file("backup.zip"));
  const std::string groups = in.file("groups.csv");
  test::write_file(groups, "#dali-channel-groups-csv-version: 1\r\n1,2,Lobby\r\n");
  const korvan::FirmwareRecipe fw;
  const std::vector<std::uint8_t> image = korvan::make_firmware_image(fw);
  std::vector<std::uint8_t> package;
  std::string error;
  ASSERT_TRUE(korvan::make_firmware_package(fw, image, package, &error)) << error;
  test::write_file(in.file("fw.bin"), package);

  // The console lines each action prints, in the pieces the cells share.
  const std::string
      fetch_status = "status\tfetching URL '@/api/v100/status.ssi'.\n",
      got_status = fetch_status + "status\treceived # bytes.\n",
      fetch_dali1 = "backup\tfetching URL 'http://@/api/v100/backup.ssi?config=dali1'.\n",
      listing = fetch_dali1 + "backup\treceived # bytes.\nbackup\tbackup file contains: \r\n",
      gear = "\t/etc/config/dali/dali1.bin (7072 bytes)\r\n",
      identity =
          "\tstatus.txt (# bytes)\r\nbackup\tmodel name: KORVAN-4\r\nbackup\tfirmware "
          "version: 2.2.4\r\nbackup\tserial number: K4-2311-004217\r\nbackup\tmac: "
          "00:1B:C5:0B:42:17\r\n",
      checked = listing + gear + identity,
      misplaced = listing + "\t/tmp/etc/config/dali/dali1.bin (7072 bytes)\r\n" + identity,
      huge = listing + gear + "\tstatus.txt (1073741824 bytes)\r\n\tfile error -3.\r\n" +
             "backup\terror reading status.txt\r\n",
      not_found = "backup\tbackup file not found for action get_backup.\r\n\r\n",
      no_status = "backup\terror status.txt file not found.\r\n",
      added = "\033[32mbackup\tbackup file OK, adding to backup archive...\r\n\r\n\033[0m",
      tftp = "firmware_push_tftp\tpushing URL 'tftp://@/flashraw.bin'.\n",
      pushed = test::backup_push_lines("@"),
      pb = got_status +
           "model_name=KORVAN-4\r\nbackup\tpush backup file '/etc/config/dali/dali1.bin'.\n",
      pb_done = pb + pushed + "\033[32mbackup\tbackup push completed.\n\n\033[0m",
      channel = "OK\nCH=1\nFILE=" + groups + "\n",
      sc = "4 fields, 2 rows\nbackup\tbackup file contains: \r\n" + gear,
      sc_done = checked + channel + sc + pushed + "OK\n", pf = "\nPreparing file...\n*" + tftp,
      pf_ok = pf + "OK\nfirmware\tpushing URL '@/api/v100/status.ssi?action=firmwareupgrade&hash=" +
              korvan::firmware_digest_hex(image) + "&size=" + std::to_string(image.size()) + "'.\n",
      pf_done = pf_ok + "*OK\n";
  const std::string short_page = listing + "\tfile error -3.\r\n" + no_status,
                    bad_sum = listing + "\tfile error -6.\r\n" + no_status,
                    no_gear = "backup\terror '/etc/config/dali/dali1.bin' file not found.\r\n";
  // libcurl's own words for the failures
  const std::string closed = "Server returned nothing (no headers, no data)",
                    partial = "Transferred a partial file", illegal = "TFTP: Illegal operation",
                    timeout = "Timeout was reached";
  const std::vector<std::string> kArgs[] = {
      {"get_status"},
      {"get_backup", "--backupfileout", "OUT", "--backupfileouttype", "zip", "--backupconfig",
       "[\"dali1\"]"},
      {"put_backup", "--backupfilein", in.file("backup.zip")},
      {"setup_channel", "--channel", "[1]", "--channelgroupscsvfile", "[\"" + groups + "\"]"},
      {"push_firmware", "--firmwarefile", in.file("fw.bin")}};

  const Cell cells[] = {
      {"status-404", kGetStatus, got_status, "", "S"},
      {"status-404", kPutBackup, got_status, "", "S"},
      {"status-empty", kGetStatus, fetch_status + "status\treceived 0 bytes.\n", "", "S"},
      {"status-empty", kPutBackup, fetch_status + "status\treceived 0 bytes.\n", "", "S"},
      {"status-no-model", kGetStatus, got_status, "", "S"},
      {"status-no-model", kPutBackup, got_status, "", "S"},
      {"http-close", kGetStatus, fetch_status, closed, "S"},
      {"http-close", kGetBackup, fetch_dali1 + not_found, closed, "B"},
      {"http-close", kPutBackup, fetch_status, closed, "S"},
      {"http-close", kSetupChannel, fetch_dali1, closed, "B"},
      {"http-close", kPushFirmware, pf_ok, closed, "TUG"},
      {"http-truncate", kGetStatus, fetch_status, partial, "S"},
      {"http-truncate", kGetBackup, fetch_dali1 + not_found, partial, "B"},
      {"http-truncate", kPutBackup, fetch_status, partial, "S"},
      {"http-truncate", kSetupChannel, fetch_dali1, partial, "B"},
      {"http-truncate", kPushFirmware, pf_ok + "*", partial, "TUG"},
      {"http-delay=50", kGetStatus, got_status + "model_name=KORVAN-4\r\n", "", "S"},
      {"http-delay=50", kGetBackup, checked + added, "", "B"},
      {"http-delay=50", kPutBackup, pb_done, "", "STUR"},
      {"http-delay=50", kSetupChannel, sc_done, "", "BTUR"},
      {"http-delay=50", kPushFirmware, pf_done, "", "TUG"},
      {"backup-not-tar", kGetBackup, short_page + not_found, "", "B"},
      {"backup-not-tar", kSetupChannel, short_page, "", "B"},
      {"backup-no-status", kGetBackup, listing + gear + no_status + not_found, "", "B"},
      {"backup-no-status", kSetupChannel, listing + gear + no_status, "", "B"},
      {"backup-bad-checksum", kGetBackup, bad_sum + not_found, "", "B"},
      {"backup-bad-checksum", kSetupChannel, bad_sum, "", "B"},
      {"backup-huge-member", kGetBackup, huge + not_found, "", "B"},
      {"backup-huge-member", kSetupChannel, huge, "", "B"},
      {"backup-no-file", kGetBackup, misplaced + added, "", "B"},
      {"backup-no-file", kSetupChannel, misplaced + channel + no_gear + sc + pushed + "OK\n", "",
       "BTUR"},
      {"tftp-error", kPutBackup, pb + tftp, illegal, "S"},
      {"tftp-error", kSetupChannel, checked + channel + sc + tftp, illegal, "B"},
      {"tftp-error", kPushFirmware, pf, illegal, ""},
      // one block lost in each upload
      {"tftp-drop=10", kPutBackup, pb_done, "", "STUR"},
      {"tftp-drop=10", kSetupChannel, sc_done, "", "BTUR"},
      {"tftp-drop=4000", kPushFirmware, pf_done, "", "TUG"},
      {"tftp-stall=2", kPutBackup, pb + tftp, timeout, "ST"},
      {"tftp-stall=2", kSetupChannel, checked + channel + sc + tftp, timeout, "BT"},
      {"tftp-stall=2", kPushFirmware, pf, timeout, "T"},
      {"tftp-ack-delay=100", kPutBackup, pb_done, "", "STUR"},
      {"tftp-ack-delay=100", kSetupChannel, sc_done, "", "BTUR"},
      {"tftp-ack-delay=100", kPushFirmware, pf_done, "", "TUG"},
  };

  struct Run {
    const Cell* cell;
    std::unique_ptr<korvan::Simulator> sim;
    std::unique_ptr<test::TempDir> out;
  };
  auto check = [&](const Run& r, const Outcome& o) {
    const Cell& c = *r.cell;
    SCOPED_TRACE(c.fault + " meets action " + std::to_string(c.action));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.paused, 4000u);
    const size_t echoes = o.out.rfind("\nopt");
    const std::string lines = o.out.substr(o.out.find('\n', echoes + 1) + 1);
    EXPECT_TRUE(std::regex_match(lines, pattern(c.out, r.sim->ip()))) << lines;
    EXPECT_EQ(failures(o.err), c.err) << o.err;
    EXPECT_EQ(wire_of(*r.sim), c.wire);
    // get_backup leaves one complete archive holding only what was accepted;
    // the other actions write nothing.
    if (c.action == kGetBackup)
      EXPECT_EQ(zip_entries(r.out->path()),
                c.out.find("adding") != std::string::npos ? "dali1.tar" : "");
    else
      EXPECT_TRUE(fs::is_empty(r.out->path()));
  };

  for (const Cell& c : cells) {
    Run r{&c, std::make_unique<korvan::Simulator>(korvan::SimOptions{.faults = {c.fault}}),
          std::make_unique<test::TempDir>()};
    ASSERT_TRUE(r.sim->start(&error)) << error;
    std::vector<std::string> args = {"--ip", r.sim->ip(), "--action"};
    for (const std::string& a : kArgs[c.action]) args.push_back(a == "OUT" ? r.out->path() : a);
    check(r, run_tool(args));
    r.sim->stop();
  }
}

}  // namespace
}  // namespace torvi
