#include "sim/faults.h"

#include <gtest/gtest.h>

namespace korvan {
namespace {

// Values are bounded as --help says; a refusal names the text it refused and
// leaves the faults already set in place.
TEST(ApplyFault, ValuesAndRefusals) {
  Faults f;
  for (const char* text : {"http-close", "http-delay=250", "tftp-drop=3", "tftp-stall=5",
                           "tftp-ack-delay=500", "backup-huge-member=4294967295"})
    EXPECT_TRUE(apply_fault(f, text, nullptr)) << text;
  const TftpFaults t = tftp_faults(f);
  EXPECT_EQ(f.http_delay_ms, 250u);
  EXPECT_EQ(f.backup_huge_member, 4294967295u);
  EXPECT_EQ(t.drop_every, 3u);
  EXPECT_EQ(t.stall_after, 5u);
  EXPECT_EQ(t.ack_delay_us, 500u);
  EXPECT_TRUE(apply_fault(f, "tftp-ack-delay=1000000", nullptr));
  for (const char* text :
       {"status-500", "", "HTTP-CLOSE", "http-close=1", "http-delay",
        "http-delay=", "http-delay=-5", "http-delay=12ms", "http-delay=120001", "tftp-drop=0",
        "tftp-stall=0", "tftp-drop=99999999999999999999", "tftp-ack-delay",
        "tftp-ack-delay=1000001", "backup-huge-member=100", "backup-huge-member=8589934592"}) {
    std::string error;
    EXPECT_FALSE(apply_fault(f, text, &error)) << text;
    EXPECT_NE(error.find(text), std::string::npos) << text << ": " << error;
  }
  EXPECT_TRUE(f.http_close);
  EXPECT_EQ(f.http_delay_ms, 250u);
}

}  // namespace
}  // namespace korvan
