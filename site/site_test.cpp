// torvi-site against korvan-sim controllers in the same process: each
// command's results and members, the rollout's guards, the pool's bounds,
// the interrupt, and the errors that contact nothing.
#include "site/site.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <map>
#include <thread>

#include "action/actions.h"
#include "backup/backup_zip.h"
#include "json/json_parser.h"
#include "sim/firmware_maker.h"
#include "sim/korvan_sim.h"
#include "sim/sim_test_support.h"
#include "site/commands.h"
#include "test_support.h"

namespace torvi::site {
namespace {

namespace fs = std::filesystem;
using Members = std::map<std::string, std::string>;
const char* const kConfigs[] = {"systemconfig", "schedules",   "rlc",    "dali1", "dali2",
                                "dali3",        "dali4",       "cd1",    "cd2",   "cd3",
                                "cd4",          "system_ui32", "dalv",   "daeu",  "daeutr",
                                "daeutc",       "dacdlcm",     "dacdlcr"};

// Each controller of a summary document by name: its members as texts,
// arrays as their strings joined with ",".
std::map<std::string, Members> controllers_of(const std::string& json) {
  std::map<std::string, Members> out;
  JsonParser p{};
  jp_open_string(p, json.c_str());
  int depth = 0;  // a controller's members stand at depth 3
  bool listed = false;
  Members current;
  std::string key;
  for (int t; (t = jp_next(p)) != TOKEN_DONE && t != TOKEN_ERROR;) {
    std::string value;
    if (t == TOKEN_ARRAY_BEGIN && depth == 3) {
      while ((t = jp_next(p)) == TOKEN_STRING) {
        value += (value.empty() ? "" : ",") + std::string(jp_get_string(p));
      }
    } else if (t == TOKEN_OBJECT_BEGIN || t == TOKEN_ARRAY_BEGIN) {
      listed = listed || (depth == 1 && key == "controllers");
      ++depth;
      key.clear();
      continue;
    } else if (t == TOKEN_OBJECT_END || t == TOKEN_ARRAY_END) {
      if (--depth == 2 && listed) out[current["name"]] = std::move(current);
      current.clear();
      listed = listed && depth >= 2;
      continue;
    } else if (t == TOKEN_STRING && key.empty()) {
      key = jp_get_string(p);
      continue;
    } else {
      value = t == TOKEN_STRING   ? jp_get_string(p)
              : t == TOKEN_NUMBER ? std::to_string(jp_truncate(jp_get_number(p)))
                                  : "null";
    }
    if (listed && depth == 3) current[key] = value;
    key.clear();
  }
  jp_close(p);
  return out;
}

std::string text_of(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

class SiteTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto& sim : sims_) sim->stop();
  }
  korvan::Simulator& add(const std::string& name, korvan::SimOptions options = {}) {
    sims_.push_back(std::make_unique<korvan::Simulator>(std::move(options)));
    std::string error;
    EXPECT_TRUE(sims_.back()->start(&error)) << error;
    rows_.emplace_back(name, sims_.back()->ip());
    return *(by_name_[name] = sims_.back().get());
  }
  korvan::Simulator& sim(const std::string& name) { return *by_name_.at(name); }
  std::vector<std::string> kinds(const std::string& name) {
    std::vector<std::string> out;
    for (const auto& e : sim(name).events()) out.push_back(e.kind);
    return out;
  }

  // Runs `words` (the command first; the inventory is added) as torvi-site
  // would; the summary document lands in summary_.
  int run(std::vector<std::string> words) {
    std::string text = "name,address\n";
    for (const auto& [name, address] : rows_) text += name + "," + address + "\n";
    test::write_file(dir_.file("site.csv"), text);
    words.insert(words.begin(), "torvi-site");
    if (words.size() > 1 && (words[1] == "status" || words[1] == "firmware")) {
      words.insert(words.begin() + 2, {"--logs", dir_.file("logs")});
    }
    words.push_back("--json");
    words.push_back(dir_.file("site.csv"));
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    test::ConsoleCapture capture;
    site_options options;
    int status = 0;
    if (std::optional<int> early =
            site_parse_options(static_cast<int>(argv.size()), argv.data(), options)) {
      status = *early;
    } else {
      unique_file summary = file_open(dir_.file("summary.json"), "wb");
      unique_file progress = file_open(dir_.file("progress.txt"), "wb");
      status =
          site_execute(options, {progress.get(), summary.get(), false}, {&interrupt_, observe_});
    }
    errors_ = capture.err();
    summary_ = text_of(test::read_file(dir_.file("summary.json")));
    progress_ = text_of(test::read_file(dir_.file("progress.txt")));
    return status;
  }
  Members result(const std::string& name) { return controllers_of(summary_)[name]; }
  std::string outcome(const std::string& name) {
    Members m = result(name);
    return m["result"] + (m["detail"].empty() ? "" : ": " + m["detail"]);
  }
  std::string package(const std::string& version) {
    korvan::FirmwareRecipe recipe{.version_string = version};
    std::vector<std::uint8_t> image = korvan::make_firmware_image(recipe), bytes;
    EXPECT_TRUE(korvan::make_firmware_package(recipe, image, bytes, nullptr));
    test::write_file(dir_.file("fw.bin"), bytes);
    return dir_.file("fw.bin");
  }
  // Counts each controller's starts, so a test can act when its second
  // piece of work (a rollout's update) begins.
  void on_start(std::function<void(const std::string& name, int nth)> act) {
    starts_.clear();
    order_.clear();
    observe_ = [this, act](const site_controller& c, bool started) {
      std::lock_guard lock(observed_);
      if (started) act(c.name, ++starts_[c.name]);
      order_.push_back(c.name + (started ? "+" : "-"));
    };
  }

  std::vector<std::unique_ptr<korvan::Simulator>> sims_;
  std::map<std::string, korvan::Simulator*> by_name_;
  std::vector<std::pair<std::string, std::string>> rows_;
  test::TempDir dir_;
  std::atomic<bool> interrupt_{false};
  std::function<void(const site_controller&, bool)> observe_;
  std::mutex observed_;
  std::map<std::string, int> starts_;
  std::vector<std::string> order_;
  std::string summary_, progress_, errors_;
};

TEST_F(SiteTest, StatusOfEachControllerAndItsLog) {
  add("ok");
  add("nomodel", {.faults = {"status-no-model"}});
  rows_.emplace_back("dead", test::dead_address());
  // A controller of another kind, whose model name a JSON document must
  // escape.
  httplib::Server other;
  other.Get("/api/v100/status.ssi", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("{\"model_name\":\"KORVAN-3\\\"\\u0001\"}", "application/json");
  });
  const int port = other.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { other.listen_after_bind(); });
  rows_.emplace_back("other", "127.0.0.1:" + std::to_string(port));
  EXPECT_EQ(run({"status"}), 1);
  other.stop();
  serving.join();

  EXPECT_EQ(outcome("ok"), "ok");
  EXPECT_EQ(outcome("nomodel"), "failed: the status names no model");
  EXPECT_EQ(outcome("dead"), "failed: no answer: Couldn't connect to server");
  EXPECT_EQ(outcome("other"), "failed: model 'KORVAN-3\"\x01', not KORVAN-4");
  Members ok = result("ok");
  EXPECT_EQ(ok["model_name"] + " " + ok["firmware_version"], "KORVAN-4 2.2.4");
  EXPECT_TRUE(ok["serial_number"].starts_with("K4-") && ok["mac"].size() == 17) << summary_;
  EXPECT_EQ(result("dead")["model_name"], "null");
  EXPECT_NE(summary_.find("\"counts\": {\"ok\": 1, \"failed\": 3, \"refused\": 0, \"skipped\": 0, "
                          "\"not_started\": 0}"),
            std::string::npos)
      << summary_;
  // The log holds exactly what get_status prints for the controller.
  test::ConsoleCapture capture;
  get_status(sim("ok").ip().c_str());
  EXPECT_EQ(text_of(test::read_file(ok["log"])), capture.out());
  EXPECT_EQ(ok["log"], dir_.file("logs/ok/get_status.log"));
}

TEST_F(SiteTest, JobsBoundHowManyAreAtWork) {
  for (const char* name : {"a", "b", "c", "d", "e"}) add(name, {.faults = {"http-delay=100"}});
  int at_work = 0, peak = 0;
  observe_ = [&](const site_controller&, bool started) {
    std::lock_guard lock(observed_);
    at_work += started ? 1 : -1;
    peak = std::max(peak, at_work);
  };
  EXPECT_EQ(run({"status", "--jobs", "2"}), 0);
  EXPECT_EQ(peak, 2);
}

TEST_F(SiteTest, ControllerPastTheTimeoutFailsAndTheRunGoesOn) {
  add("slow", {.faults = {"http-delay=5000"}});
  add("fine");
  EXPECT_EQ(run({"status", "--timeout", "1"}), 1);
  EXPECT_EQ(outcome("slow"), "failed: timed out after 1 s");
  EXPECT_EQ(outcome("fine"), "ok");
}

TEST_F(SiteTest, BackupIsWhatGetBackupWrites) {
  korvan::Simulator& good = add("good");
  add("broken", {.faults = {"backup-not-tar"}});
  const std::string out = dir_.file("out");
  EXPECT_EQ(run({"backup", "--out", out}), 1);

  Members g = result("good");
  EXPECT_EQ(g["result"] + " " + g["configurations"] + " [" + g["missing"] + "]", "ok 18 []");
  backup_zip_reader zip;
  ASSERT_EQ(backup_zip_open_read(zip, out + "/" + g["file"]), 0) << g["file"];
  EXPECT_TRUE(g["file"].starts_with("good/backup_" + good.ip() + "_KORVAN_")) << g["file"];
  ASSERT_EQ(backup_zip_count(zip), 18u);
  for (std::uint64_t i = 0; i < 18; ++i) {
    backup_zip_entry entry;
    std::vector<std::uint8_t> bytes;
    EXPECT_EQ(backup_zip_stat(zip, i, entry) + backup_zip_read(zip, i, bytes), 0);
    EXPECT_EQ(entry.name, std::string(kConfigs[i]) + ".tar");
    EXPECT_EQ(bytes, good.backup_archive(kConfigs[i])) << kConfigs[i];
  }
  test::TempDir again;
  test::ConsoleCapture capture;
  get_backup(good.ip().c_str(), again.path().c_str(), "zip", nullptr);
  EXPECT_EQ(text_of(test::read_file(out + "/good/get_backup.log")), capture.out());

  // Part of a backup is kept under another name, so no restore takes it.
  Members b = result("broken");
  EXPECT_TRUE(b["detail"].starts_with("0 of 18 configurations, missing systemconfig, schedules, "))
      << b["detail"];
  EXPECT_TRUE(b["file"].ends_with(".zip.incomplete")) << b["file"];
  EXPECT_EQ(newest_backup(out + "/broken"), std::nullopt);
  EXPECT_EQ(text_of(test::read_file(out + "/site-backup.json")), summary_);
  // The commissioning report holds every backup taken, the part of one too.
  const std::string report = text_of(test::read_file(out + "/report.html"));
  for (const std::string& file : {g["file"], b["file"]}) {
    EXPECT_NE(report.find(file.substr(file.find('/') + 1)), std::string::npos) << file;
  }
}

TEST_F(SiteTest, RestoreSendsNothingToAControllerOfAnotherSerial) {
  korvan::Simulator& same = add("same");
  korvan::Simulator& other = add("other");
  add("none");
  const std::string from = dir_.file("from");
  test::ConsoleCapture quiet;
  get_backup(same.ip().c_str(), (from + "/same").c_str(), "zip", nullptr);
  test::write_file(from + "/same/backup_x_KORVAN_20000101_000000.zip", "older, and no ZIP");
  // other's backup, its status.txt naming another serial number.
  test::TempDir scratch;
  get_backup(other.ip().c_str(), scratch.path().c_str(), "zip", nullptr);
  const std::string taken = *newest_backup(scratch.path());
  std::vector<std::string> serials;
  ASSERT_TRUE(backup_serials(taken, serials));
  ASSERT_EQ(serials.size(), 1u);
  const std::string foreign = serials[0].substr(0, serials[0].size() - 1) + "X";
  backup_zip_reader in;
  backup_zip rewritten;
  ASSERT_EQ(backup_zip_open_read(in, taken), 0);
  fs::create_directories(from + "/other");
  ASSERT_EQ(backup_zip_open(rewritten, from + "/other/backup_o_KORVAN_20991231_235959.zip"), 0);
  for (std::uint64_t i = 0; i < backup_zip_count(in); ++i) {
    backup_zip_entry entry;
    std::vector<std::uint8_t> bytes;
    ASSERT_EQ(backup_zip_stat(in, i, entry) + backup_zip_read(in, i, bytes), 0);
    std::string text = text_of(bytes);
    text.replace(text.find(serials[0]), serials[0].size(), foreign);
    ASSERT_EQ(backup_zip_add(rewritten, entry.name, test::bytes_of(text)), 0);
  }
  ASSERT_EQ(backup_zip_close(rewritten), 0);
  same.clear_events();
  other.clear_events();

  EXPECT_EQ(run({"restore", "--from", from}), 1);
  EXPECT_EQ(outcome("same"), "ok");
  EXPECT_EQ(korvan::events_of(same, "restore").size(), 18u);
  EXPECT_EQ(outcome("other"),
            "refused: serial number " + serials[0] + " is not the backup's " + foreign);
  EXPECT_EQ(kinds("other"), std::vector<std::string>{"http"});  // the status, nothing more
  EXPECT_EQ(result("other")["serial_number"], foreign);
  EXPECT_EQ(outcome("none"), "failed: no backup_*.zip in " + from + "/none");

  EXPECT_EQ(run({"restore", "--from", from, "--only", "OTHER", "--allow-other-serial"}), 0);
  EXPECT_EQ(outcome("other"), "ok");
  EXPECT_EQ(korvan::events_of(other, "restore").size(), 18u);
}

TEST_F(SiteTest, RolloutGoesCanaryFirstAndWaitsOutItsRestart) {
  add("a");
  add("current", {.firmware = "2.3.0"});
  add("canary");
  add("d");
  const std::string fw = package("2.3.0");
  // The canary's status fails for a while after its update begins, as
  // while a controller restarts.
  std::thread clearing;
  on_start([&](const std::string& name, int nth) {
    if (name != "canary" || nth != 2) return;
    sim("canary").set_fault("status-no-model");
    clearing = std::thread([&] {
      korvan::eventually([&] { return !korvan::events_of(sim("canary"), "upgrade").empty(); }, 20);
      std::this_thread::sleep_for(std::chrono::milliseconds(2500));
      sim("canary").clear_faults();
    });
  });
  EXPECT_EQ(run({"firmware", "--package", fw, "--canary", "canary", "--wait", "20"}), 0);
  clearing.join();
  for (const char* name : {"a", "canary", "d"}) {
    EXPECT_EQ(outcome(name), "ok");
    EXPECT_EQ(result(name)["firmware_before"] + ">" + result(name)["firmware_after"],
              "2.2.4>2.3.0");
    EXPECT_EQ(sim(name).firmware_version(), "2.3.0");
  }
  EXPECT_EQ(outcome("current"), "skipped: already at 2.3.0");
  EXPECT_EQ(korvan::events_of(sim("current"), "upload").size(), 0u);
  // Every status first, then the canary alone, then the rest.
  const auto at = [&](const std::string& mark) {
    return std::find(order_.rbegin(), order_.rend(), mark) - order_.rbegin();
  };
  EXPECT_GT(at("canary-"), at("a+"));
  EXPECT_GT(at("canary-"), at("d+"));
  EXPECT_GE(korvan::events_of(sim("canary"), "http").size(), 5u);  // the failed answers waited out
}

TEST_F(SiteTest, FailedCanaryLeavesTheOthersUntouched) {
  const struct {
    std::vector<std::string> faults;
    bool fail_after_upgrade;
    std::string detail;
  } cases[] = {
      {{"tftp-error"}, false, "failed: upload failed: "},
      {{}, true, "failed: no answer in 1 s after the upgrade"},
  };
  for (const auto& c : cases) {
    sims_.clear();
    rows_.clear();
    add("canary", {.faults = c.faults});
    add("b");
    add("c");
    on_start([&](const std::string& name, int nth) {
      if (c.fail_after_upgrade && name == "canary" && nth == 2)
        sim(name).set_fault("status-no-model");
    });
    EXPECT_EQ(run({"firmware", "--package", package("2.3.0"), "--wait", "1"}), 1);
    EXPECT_TRUE(outcome("canary").starts_with(c.detail)) << outcome("canary");
    for (const char* name : {"b", "c"}) {
      EXPECT_EQ(outcome(name), "not-started: the canary canary failed");
      EXPECT_EQ(kinds(name), std::vector<std::string>{"http"});
    }
  }
}

TEST_F(SiteTest, FailureMidRolloutStartsNothingNew) {
  add("a");
  add("b", {.faults = {"tftp-error"}});
  add("c");
  add("d");
  EXPECT_EQ(run({"firmware", "--package", package("2.3.0"), "--jobs", "1"}), 1);
  EXPECT_EQ(outcome("a"), "ok");
  EXPECT_TRUE(outcome("b").starts_with("failed: upload failed")) << outcome("b");
  for (const char* name : {"c", "d"}) {
    EXPECT_EQ(outcome(name), "not-started: not started after b failed");
    EXPECT_EQ(kinds(name), std::vector<std::string>{"http"});
  }
}

TEST_F(SiteTest, RefusedPackageContactsNoController) {
  add("a");
  test::write_file(dir_.file("fw.bin"), "not a package");
  EXPECT_EQ(run({"firmware", "--package", dir_.file("fw.bin")}), 1);
  EXPECT_EQ(outcome("a"), "not-started: the package was refused");
  EXPECT_TRUE(progress_.find("FIRMWARE FILE IS NOT VALID!") != std::string::npos) << progress_;
  EXPECT_TRUE(sim("a").events().empty());
}

TEST_F(SiteTest, InterruptStartsNothingMoreAndCutsTheUploadShort) {
  for (const char* name : {"a", "b", "c"}) add(name, {.faults = {"http-delay=300"}});
  on_start([&](const std::string&, int) { interrupt_ = true; });
  EXPECT_EQ(run({"status", "--jobs", "1"}), 1);
  EXPECT_EQ(outcome("a"), "failed: interrupted");
  EXPECT_EQ(outcome("b"), "not-started: interrupted");
  EXPECT_EQ(kinds("c"), std::vector<std::string>{});

  // An upload cut short is followed by no upgrade request.
  sims_.clear();
  rows_.clear();
  interrupt_ = false;
  add("slow", {.faults = {"tftp-ack-delay=1000"}});
  add("next");
  std::thread interrupting;
  on_start([&](const std::string& name, int nth) {
    if (nth != 2) return;
    interrupting = std::thread([&, name] {
      korvan::eventually([&] { return !korvan::events_of(sim(name), "tftp-request").empty(); }, 10);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      interrupt_ = true;
    });
  });
  EXPECT_EQ(run({"firmware", "--package", package("2.3.0")}), 1);
  interrupting.join();
  EXPECT_EQ(outcome("slow"), "failed: interrupted");
  EXPECT_EQ(outcome("next"), "not-started: interrupted");
  EXPECT_EQ(korvan::events_of(sim("slow"), "upload").size(), 0u);
  EXPECT_EQ(korvan::events_of(sim("slow"), "upgrade").size(), 0u);
}

TEST_F(SiteTest, UsageAndInventoryErrorsContactNothing) {
  add("a");
  const struct {
    std::vector<std::string> words;
    std::string error;
  } cases[] = {
      {{"frobnicate"}, "torvi-site: unknown command 'frobnicate'\n"},
      {{"status", "--jobs", "0"},
       "torvi-site status: --jobs takes a number from 1 to 64, not '0'\n"},
      {{"status", "--jobs", "65"}, "--jobs takes a number from 1 to 64, not '65'"},
      {{"status", "--bogus"}, "torvi-site status: unknown option '--bogus'\n"},
      {{"status", "--only", "a,zz"}, "--only names 'zz', which "},
      {{"status", "--only", ","}, "torvi-site status: --only needs a name\n"},
      {{"backup"}, "torvi-site backup: --out DIR is needed\n"},
      {{"firmware", "--package", "fw.bin", "--canary", "zz"}, "--canary names 'zz'"},
      {{"status", "extra.csv"}, "one inventory file only"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.words), 2) << c.words[0];
    EXPECT_TRUE(errors_.find(c.error) != std::string::npos) << errors_;
  }
  rows_.emplace_back("b c", "h:0");
  EXPECT_EQ(run({"status"}), 2);
  EXPECT_EQ(errors_,
            "torvi-site: " + dir_.file("site.csv") +
                ":3: name 'b c' holds ' ': a name takes letters, digits, '-', '_' and '.'\n"
                "torvi-site: " +
                dir_.file("site.csv") + ":3: port 0 is not 1 to 65535\n");
  EXPECT_TRUE(sim("a").events().empty());
}

// The real program: SIGINT ends the run with the summary, the rest not
// started, exit status 1.
TEST_F(SiteTest, ProgramSummarisesAfterSigint) {
  if (!test::have_program("timeout")) GTEST_SKIP() << "timeout(1) is not installed";
  add("a", {.faults = {"http-delay=8000"}});
  add("b");
  run({"status", "--jobs", "99"});  // writes the inventory only
  std::string out;
  const int status = test::run_command(
      "timeout -s INT --preserve-status 2 " + std::string(TORVI_SITE_PATH) +
          " status --jobs 1 --logs " + dir_.file("logs") + " " + dir_.file("site.csv") + " 2>&1",
      &out);
  EXPECT_EQ(status, 1) << out;
  EXPECT_TRUE(out.find("a     " + sim("a").ip() + "  failed       interrupted\n") !=
                  std::string::npos &&
              out.find("not-started  interrupted\n") != std::string::npos)
      << out;
}

}  // namespace
}  // namespace torvi::site
