// A site of controllers in one process, as torvi-site and its tests meet it.

#include "sim/site.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>
#include <sstream>

#include "sim/sim_test_support.h"

namespace korvan {
namespace {

// Each controller as the options make it: "PORT FIRMWARE STATE NAME FAULT,...".
TEST(SimSiteOptions, DealsFirmwareAimsFaultsAndRefuses) {
  struct Case {
    SiteOptions site;
    std::string refusal;  // a word of the reason; empty: accepted
    std::vector<std::string> controllers = {};
  } cases[] = {
      {{.port = 8069,
        .controllers = 3,
        .firmware = {"1.3.1", "2.2.4"},
        .state_dir = "S",
        .faults = {"http-close@2", "status-404", "http-delay=20@2"}},
       "",
       {"8069 1.3.1 S/01 korvan-01 status-404",
        "8070 2.2.4 S/02 korvan-02 http-close,status-404,http-delay=20",
        "8071 1.3.1 S/03 korvan-03 status-404"}},
      // A lone controller keeps its files in the folder itself, its log lines unnamed.
      {{.controllers = 1,
        .firmware = {"1.3.1", "2.2.4"},
        .state_dir = "S",
        .faults = {"tftp-error@1"}},
       "",
       {"0 1.3.1 S  tftp-error"}},
      {{.controllers = 0}, "1 to 1000"},
      {{.controllers = 1001}, "1 to 1000"},
      {{.port = 65534, .controllers = 3}, "65535"},
      {{.controllers = 2, .firmware = {"1.3.1", ""}}, "empty firmware"},
      {{.controllers = 3, .faults = {"http-close@4"}}, "'http-close@4'"},
      {{.controllers = 3, .faults = {"http-close@0"}}, "'http-close@0'"},
      {{.controllers = 3, .faults = {"http-close@"}}, "'http-close@'"},
      {{.controllers = 3, .faults = {"http-close@1x"}}, "'http-close@1x'"},
      {{.controllers = 3, .faults = {"bogus@1"}}, "'bogus'"},
      {{.controllers = 3, .faults = {"http-delay@2"}}, "'http-delay'"},
  };
  for (const Case& c : cases) {
    std::vector<SimOptions> out;
    std::string error;
    const bool accepted = site_controllers(c.site, out, &error);
    SCOPED_TRACE(c.refusal + error);
    if (!c.refusal.empty()) {
      EXPECT_FALSE(accepted);
      EXPECT_TRUE(contains(error, c.refusal));
      continue;
    }
    ASSERT_TRUE(accepted);
    std::vector<std::string> got;
    for (const SimOptions& o : out) {
      std::string faults;
      for (const std::string& f : o.faults) faults += (faults.empty() ? "" : ",") + f;
      got.push_back(std::to_string(o.port) + " " + o.firmware + " " + o.state_dir + " " + o.name +
                    " " + faults);
    }
    EXPECT_EQ(got, c.controllers);
  }
}

std::string get(const Simulator& controller, const std::string& target) {
  httplib::Client client("127.0.0.1", controller.port());
  client.set_connection_timeout(5);
  client.set_read_timeout(5);
  const auto reply = client.Get(target);
  return reply ? std::to_string(reply->status) + " " + reply->body : "no reply";
}

size_t threads_of_this_process() {
  const auto tasks = std::filesystem::directory_iterator("/proc/self/task");
  return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

// Four controllers, each answering for itself with its own identity and
// firmware, one of them faulty; the inventory lists them in order; a restart
// on the same folder brings back the same controllers.
TEST(SimSite, ControllersAnswerForThemselvesAndComeBackTheSame) {
  TempDir dir;
  std::vector<SimOptions> options;
  std::string error;
  ASSERT_TRUE(site_controllers({.controllers = 4,
                                .firmware = {"1.3.1", "1.5.0", "2.2.4"},
                                .state_dir = dir.path(),
                                .faults = {"status-no-model@3"}},
                               options, &error))
      << error;
  const size_t threads_before = threads_of_this_process();
  auto site = std::make_unique<Site>(options);
  ASSERT_TRUE(site->start(&error)) << error;
  // Idle, a controller holds its HTTP listener and its TFTP server only.
  EXPECT_LE(threads_of_this_process() - threads_before, 2 * site->size());

  const char* firmware[] = {"1.3.1", "1.5.0", "2.2.4", "1.3.1"};
  std::set<std::string> serials, macs;
  std::vector<std::string> identities;
  for (size_t i = 0; i < site->size(); ++i) {
    SCOPED_TRACE(i);
    const Simulator& c = (*site)[i];
    auto status = json_members(get(c, "/api/v100/status.ssi"));
    EXPECT_EQ(status["firmware_version"], firmware[i]);
    EXPECT_EQ(status.count("model_name"), i == 2 ? 0u : 1u);
    EXPECT_EQ(status["serial_number"], c.serial_number());
    EXPECT_EQ(status["mac"], c.mac());
    serials.insert(c.serial_number());
    macs.insert(c.mac());
    identities.push_back(status["serial_number"] + " " + status["mac"]);
    EXPECT_EQ(events_of(c, "http").size(), 1u);
  }
  EXPECT_EQ(serials.size(), 4u);
  EXPECT_EQ(macs.size(), 4u);

  ASSERT_TRUE(site->write_inventory(dir.file("site.csv"), &error)) << error;
  std::istringstream rows(text_of(read_file(dir.file("site.csv"))));
  std::string row;
  std::getline(rows, row);
  EXPECT_EQ(row.rfind("name,address,", 0), 0u) << row;
  for (size_t i = 0; std::getline(rows, row); ++i) {
    ASSERT_LT(i, site->size());
    EXPECT_EQ(row.substr(0, row.find(',', 10)),
              "korvan-0" + std::to_string(i + 1) + "," + (*site)[i].ip());
  }

  site.reset();
  Site again(options);
  ASSERT_TRUE(again.start(&error)) << error;
  for (size_t i = 0; i < again.size(); ++i) {
    EXPECT_EQ(again[i].boot_count(), 2u);
    EXPECT_EQ(again[i].state_dir(), dir.file("0" + std::to_string(i + 1)));
    auto status = json_members(get(again[i], "/api/v100/status.ssi"));
    EXPECT_EQ(status["serial_number"] + " " + status["mac"], identities[i]);
  }
}

// From a given port the controllers take the ports above it; when one of
// them is taken, the start names that controller and leaves none running.
TEST(SimSite, PortsUpwardFromTheFirst) {
  // Below the ports the system hands out for port 0, so no other test's
  // socket takes one of them between the two starts.
  std::mt19937 random(std::random_device{}());
  for (int attempt = 0; attempt < 20; ++attempt) {
    const auto first = static_cast<uint16_t>(20000 + random() % 12000);
    std::vector<SimOptions> options;
    ASSERT_TRUE(site_controllers({.port = first, .controllers = 3}, options, nullptr));
    Site site(options);
    if (!site.start()) continue;  // another program has one of these ports
    for (size_t i = 0; i < site.size(); ++i) EXPECT_EQ(site[i].port(), first + i);
    site.stop();

    const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback(static_cast<uint16_t>(first + 1));
    if (::bind(taken, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      std::string error;
      EXPECT_FALSE(site.start(&error));
      EXPECT_TRUE(contains(error, "korvan-02: cannot bind TCP")) << error;
      EXPECT_EQ(site[0].port(), 0);
    }
    ::close(taken);
    return;
  }
  GTEST_SKIP() << "no three free ports in a row found";
}

}  // namespace
}  // namespace korvan
