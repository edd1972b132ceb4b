#include "status/status.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "refusing_new.h"

namespace torvi {
namespace {

ReceiveBuffer reply_of(const std::string& text) {
  ReceiveBuffer reply;
  reply.data.assign(text.begin(), text.end());
  return reply;
}

// Out of memory (blocks of `refuse` bytes or more), a value that cannot be
// copied is dropped and the parse goes on; without a stored model name the
// document does not count.
TEST(StatusParse, PairsMembersByStringTokens) {
  const std::string big(2000, 'x');
  const struct {
    std::string reply;
    int result;
    std::optional<std::string> model_name, firmware_version, boot_count, hostname;
    std::size_t refuse = SIZE_MAX;
  } cases[] = {
      {R"({"model_name":"KORVAN-4","firmware_version":"2.2.4"})", 0, "KORVAN-4", "2.2.4"},
      // a number value shifts the pairing
      {R"({"model_name":"M","boot_count":5,"hostname":"ctl"})", 0, "M", {}, "hostname", {}},
      {R"([{"model_name":"M"}])", 0, "M"},
      {R"({"outer":{"model_name":"M"}})", 0, "M"},
      {R"({"a":{"x":"y"},"model_name":"M"})", 1},  // outside after a nested object
      {"", 1},
      {R"({"Model_Name":"M"})", 1},
      {R"({"model_name":"A","model_name":"B"})", 0, "B"},
      {R"({"firmware_version":"1.0","model_name":"M", oops)", 0, "M", "1.0"},
      {R"({"hostname":"h",})", 1, {}, {}, {}, "h"},
      {std::string(R"({"model_name":"M"})") + '\0' + "garbage", 0, "M"},
      {"<html><body>404 Not Found</body></html>", 1},
      {R"(["model_name","M"])", 1},
      {R"({"ip":["x"],"model_name":"M"})", 0, "M"},
      {R"({"model_name":"M","firmware_version":")" + big + R"(","hostname":"h"})",
       0,
       "M",
       {},
       {},
       "h",
       1024},
      {R"({"model_name":")" + big + R"(","hostname":"h"})", 1, {}, {}, {}, "h", 1024},
      {R"({"model_name":"M",")" + big + R"(":"v","hostname":"h"})", 0, "M", {}, {}, "h", 1024},
  };
  for (const auto& c : cases) {
    StatusRecord record;
    const ReceiveBuffer reply = reply_of(c.reply);
    test::refuse_from = c.refuse;
    const int result = status_parse(reply, record);
    test::refuse_from = SIZE_MAX;
    const std::string name = c.reply.substr(0, 50);
    EXPECT_EQ(result, c.result) << name;
    EXPECT_EQ(
        std::tie(record.model_name, record.firmware_version, record.boot_count, record.hostname),
        std::tie(c.model_name, c.firmware_version, c.boot_count, c.hostname))
        << name;
  }
  EXPECT_EQ(status_free(nullptr), 1);
}

}  // namespace
}  // namespace torvi
