#pragma once
// A korvan-sim started in the test's own process on a free loopback port.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/korvan_sim.h"
#include "sim/sim_test_support.h"
#include "test_support.h"

namespace torvi::test {

// The console lines of a finished archive uploaded to the controller at
// `ip` and restored there.
inline std::string backup_push_lines(const std::string& ip) {
  return "firmware_push_tftp\tpushing URL 'tftp://" + ip + "/flashraw.bin'.\n" +
         "backup\tbackup file pushed.\n" + "backup_put\tpushing URL '" + ip +
         "/api/v100/status.ssi?action=restoreconfig'.\n" + "backup\tbackup file restore started.\n";
}

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { start_sim(); }
  void TearDown() override {
    if (sim_) sim_->stop();
  }

  void start_sim(korvan::SimOptions options = {}) {
    if (sim_) sim_->stop();
    sim_ = std::make_unique<korvan::Simulator>(std::move(options));
    std::string error;
    ASSERT_TRUE(sim_->start(&error)) << error;
    ip_ = sim_->ip();
  }

  korvan::Simulator& sim() { return *sim_; }
  const char* ip() const { return ip_.c_str(); }

  // The request targets the controller saw over HTTP, in order.
  std::vector<std::string> http_requests() const {
    std::vector<std::string> targets;
    for (const auto& e : sim_->events()) {
      if (e.kind == "http") targets.push_back(e.detail);
    }
    return targets;
  }

  std::vector<korvan::SimEvent> events_of(const std::string& kind) const {
    return korvan::events_of(*sim_, kind);
  }

  std::unique_ptr<korvan::Simulator> sim_;
  std::string ip_;
};

}  // namespace torvi::test
