#include "sim/faults.h"

#include <gtest/gtest.h>

#include <functional>

namespace korvan {
namespace {

TEST(ApplyFault, NamesAndValues) {
  struct Case {
    const char* text;
    std::function<bool(const Faults&)> effect;
  } accepted[] = {
      {"status-404", [](const Faults& f) { return f.status_404; }},
      {"status-empty", [](const Faults& f) { return f.status_empty; }},
      {"status-no-model", [](const Faults& f) { return f.status_no_model; }},
      {"http-close", [](const Faults& f) { return f.http_close; }},
      {"http-truncate", [](const Faults& f) { return f.http_truncate; }},
      {"http-delay=250", [](const Faults& f) { return f.http_delay_ms == 250; }},
      {"http-delay=0", [](const Faults& f) { return f.http_delay_ms == 0; }},
      {"backup-not-tar", [](const Faults& f) { return f.backup_not_tar; }},
      {"backup-no-status", [](const Faults& f) { return f.backup_no_status; }},
      {"backup-no-file", [](const Faults& f) { return f.backup_no_file; }},
      {"backup-bad-checksum", [](const Faults& f) { return f.backup_bad_checksum; }},
      {"backup-huge-member",
       [](const Faults& f) { return f.backup_huge_member == kDefaultHugeMember; }},
      {"backup-huge-member=4294967295",
       [](const Faults& f) { return f.backup_huge_member == 4294967295u; }},
      {"tftp-error", [](const Faults& f) { return tftp_faults(f).error_on_request; }},
      {"tftp-drop=3", [](const Faults& f) { return tftp_faults(f).drop_every == 3; }},
      {"tftp-stall=5", [](const Faults& f) { return tftp_faults(f).stall_after == 5; }},
  };
  for (const Case& c : accepted) {
    Faults f;
    EXPECT_TRUE(apply_fault(f, c.text, nullptr)) << c.text;
    EXPECT_TRUE(c.effect(f)) << c.text;
  }
  // Unknown names, values where none belong, missing or bad values.
  for (const char* text : {"status-500", "", "HTTP-CLOSE", "http-close=1", "http-delay",
                           "http-delay=", "http-delay=-5", "http-delay=12ms", "http-delay=120001",
                           "tftp-drop=0", "tftp-stall=0", "tftp-drop=99999999999999999999",
                           "backup-huge-member=100", "backup-huge-member=8589934592"}) {
    Faults f;
    std::string error;
    EXPECT_FALSE(apply_fault(f, text, &error)) << text;
    EXPECT_TRUE(error.find(text) != std::string::npos) << text << ": " << error;
  }
  // A refused fault leaves the others in place.
  Faults f;
  ASSERT_TRUE(apply_fault(f, "http-close", nullptr));
  EXPECT_FALSE(apply_fault(f, "http-delay=x", nullptr));
  EXPECT_TRUE(f.http_close);
  EXPECT_EQ(f.http_delay_ms, 0u);
}

}  // namespace
}  // namespace korvan
