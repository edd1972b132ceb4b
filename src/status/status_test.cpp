#include "status/status.h"

#include <gtest/gtest.h>

#include <string>

namespace torvi {
namespace {

ReceiveBuffer reply_of(const std::string& text) {
  ReceiveBuffer reply;
  reply.data.assign(text.begin(), text.end());
  return reply;
}

struct ParseCase {
  const char* name;
  std::string reply;
  int result;
  std::optional<std::string> model_name;
  std::optional<std::string> firmware_version;
  std::optional<std::string> boot_count;
  std::optional<std::string> hostname;
};

TEST(StatusParse, PairsMembersByStringTokens) {
  const ParseCase cases[] = {
      {"plain", R"({"model_name":"KORVAN-4","firmware_version":"2.2.4"})", 0, "KORVAN-4", "2.2.4"},
      {"number_value_shifts_the_pairing", R"({"model_name":"M","boot_count":5,"hostname":"ctl"})",
       0, "M", std::nullopt, "hostname", std::nullopt},
      {"wrapped_in_array", R"([{"model_name":"M"}])", 0, "M"},
      {"nested_object_counts", R"({"outer":{"model_name":"M"}})", 0, "M"},
      {"after_nested_object_ignored", R"({"a":{"x":"y"},"model_name":"M"})", 1},
      {"empty_reply", "", 1},
      {"case_sensitive", R"({"Model_Name":"M"})", 1},
      {"later_member_replaces", R"({"model_name":"A","model_name":"B"})", 0, "B"},
      {"broken_json_keeps_what_came", R"({"firmware_version":"1.0","model_name":"M", oops)", 0, "M",
       "1.0"},
      {"broken_before_model", R"({"hostname":"h",})", 1, std::nullopt, std::nullopt, std::nullopt,
       "h"},
      {"text_ends_at_nul", std::string(R"({"model_name":"M"})") + '\0' + "garbage", 0, "M"},
      {"html_page", "<html><body>404 Not Found</body></html>", 1},
      {"string_outside_object", R"(["model_name","M"])", 1},
      {"strings_inside_arrays_pair_too", R"({"ip":["x"],"model_name":"M"})", 0, "M"},
  };
  for (const auto& c : cases) {
    StatusRecord record;
    EXPECT_EQ(status_parse(reply_of(c.reply), record), c.result) << c.name;
    EXPECT_EQ(record.model_name, c.model_name) << c.name;
    EXPECT_EQ(record.firmware_version, c.firmware_version) << c.name;
    EXPECT_EQ(record.boot_count, c.boot_count) << c.name;
    EXPECT_EQ(record.hostname, c.hostname) << c.name;
  }
}

TEST(StatusParse, TakesAllTwentyTwoMembers) {
  const char* names[] = {"model_name",     "firmware_version", "build_date",     "license",
                         "license_number", "hostname",         "serial_number",  "mac",
                         "rtc_temperature", "ram_memory",      "flash_memory",   "boot_count",
                         "time",           "uptime",           "dali_channel_1", "dali_channel_2",
                         "dali_channel_3", "dali_channel_4",   "ip",             "bacnet_ip",
                         "session_id",     "username"};
  std::string doc = "{";
  for (const char* n : names) doc += std::string("\"") + n + "\":\"v-" + n + "\",";
  doc += "\"extra\":\"ignored\"}";
  StatusRecord record;
  ASSERT_EQ(status_parse(reply_of(doc), record), 0);
  EXPECT_EQ(record.username, "v-username");
  EXPECT_EQ(record.dali_channel_3, "v-dali_channel_3");
  EXPECT_EQ(record.rtc_temperature, "v-rtc_temperature");
  EXPECT_EQ(record.session_id, "v-session_id");
  EXPECT_EQ(status_free(&record), 0);
  EXPECT_FALSE(record.username.has_value());
  EXPECT_EQ(status_free(nullptr), 1);
}

}  // namespace
}  // namespace torvi
