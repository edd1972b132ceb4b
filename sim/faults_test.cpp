#include "sim/faults.h"

#include <gtest/gtest.h>

#include <functional>

namespace korvan {
namespace {

TEST(ApplyFault, NamesAndValues) {
  using Check = std::function<bool(const Faults&)>;
  struct Case {
    const char* text;
    bool accepted;
    Check effect;
  } cases[] = {
      {"status-404", true, [](const Faults& f) { return f.status_404; }},
      {"status-empty", true, [](const Faults& f) { return f.status_empty; }},
      {"status-no-model", true, [](const Faults& f) { return f.status_no_model; }},
      {"http-close", true, [](const Faults& f) { return f.http_close; }},
      {"http-truncate", true, [](const Faults& f) { return f.http_truncate; }},
      {"http-delay=250", true, [](const Faults& f) { return f.http_delay_ms == 250; }},
      {"http-delay=0", true, [](const Faults& f) { return f.http_delay_ms == 0; }},
      {"backup-not-tar", true, [](const Faults& f) { return f.backup_not_tar; }},
      {"backup-no-status", true, [](const Faults& f) { return f.backup_no_status; }},
      {"backup-bad-checksum", true, [](const Faults& f) { return f.backup_bad_checksum; }},
      {"backup-huge-member", true,
       [](const Faults& f) { return f.backup_huge_member == kDefaultHugeMember; }},
      {"backup-huge-member=4294967295", true,
       [](const Faults& f) { return f.backup_huge_member == 4294967295u; }},
      {"tftp-error", true, [](const Faults& f) { return tftp_faults(f).error_on_request; }},
      {"tftp-drop=3", true, [](const Faults& f) { return tftp_faults(f).drop_every == 3; }},
      {"tftp-stall=5", true, [](const Faults& f) { return tftp_faults(f).stall_after == 5; }},
      // Refused: unknown names, values where none belong, missing or bad values.
      {"status-500", false, nullptr},
      {"", false, nullptr},
      {"HTTP-CLOSE", false, nullptr},
      {"http-close=1", false, nullptr},
      {"http-delay", false, nullptr},
      {"http-delay=", false, nullptr},
      {"http-delay=-5", false, nullptr},
      {"http-delay=12ms", false, nullptr},
      {"http-delay=120001", false, nullptr},
      {"tftp-drop=0", false, nullptr},
      {"tftp-stall=0", false, nullptr},
      {"tftp-drop=99999999999999999999", false, nullptr},
      {"backup-huge-member=100", false, nullptr},
      {"backup-huge-member=8589934592", false, nullptr},
  };
  for (const Case& c : cases) {
    Faults f;
    std::string error;
    EXPECT_EQ(apply_fault(f, c.text, &error), c.accepted) << c.text;
    if (c.accepted)
      EXPECT_TRUE(c.effect(f)) << c.text;
    else
      EXPECT_NE(error.find(c.text), std::string::npos) << c.text << ": " << error;
  }
}

TEST(ApplyFault, RefusedFaultLeavesOthersInPlace) {
  Faults f;
  ASSERT_TRUE(apply_fault(f, "http-close", nullptr));
  EXPECT_FALSE(apply_fault(f, "http-delay=x", nullptr));
  EXPECT_TRUE(f.http_close);
  EXPECT_EQ(f.http_delay_ms, 0u);
}

}  // namespace
}  // namespace korvan
