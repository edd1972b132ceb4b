#include "backup/backup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "refusing_new.h"
#include "test_support.h"

namespace torvi {
namespace {

using Member = std::pair<std::string, std::string>;

std::vector<std::uint8_t> make_tar(const std::vector<Member>& members) {
  std::vector<test::TarMember> tar;
  for (const auto& [name, body] : members) tar.emplace_back(name, test::bytes_of(body));
  return test::make_tar(tar);
}

const std::string kStatus =
    R"({"model_name":"M","firmware_version":"F","serial_number":"S","mac":"A"})";
const std::string kNoMac = R"({"model_name":"M","firmware_version":"F","serial_number":"S"})";

std::string status_line(const std::string& body) {
  return "\tstatus.txt (" + std::to_string(body.size()) + " bytes)\r\n";
}

std::string identity(const char* m, const char* f, const char* s, const char* a) {
  return std::string("backup\tmodel name: ") + m + "\r\nbackup\tfirmware version: " + f +
         "\r\nbackup\tserial number: " + s + "\r\nbackup\tmac: " + a + "\r\n";
}

const std::string kHead = "backup\tbackup file contains: \r\n", kConfig(700, 'c');

// Out of memory for blocks in [refuse_from, refuse_to), a value that cannot
// be copied is dropped and the scan goes on; a text that cannot be held is
// skipped without a message. (A short page, a damaged header, a missing
// status.txt and one larger than its archive are met in the fault matrix.)
struct CheckCase {
  const char* name;
  std::vector<std::uint8_t> answer;
  int result;
  std::string out;
  std::size_t refuse_from = SIZE_MAX, refuse_to = SIZE_MAX;
};

TEST(BackupCheck, ResultsAndLines) {
  std::string html(600, ' ');
  html.replace(0, 30, "<html>404 Not Found</html>");
  const std::string big = R"({"model_name":")" + std::string(2000, 'x') + R"(","mac":"A","pad":")" +
                          std::string(1000, 'p') + "\"}";
  const std::string big_listing = kHead + status_line(big) + "\t/a (1 bytes)\r\n";
  const CheckCase cases[] = {
      {"accepted", make_tar({{"/etc/config/dali/dali1.bin", kConfig}, {"status.txt", kStatus}}), 0,
       kHead + "\t/etc/config/dali/dali1.bin (700 bytes)\r\n" + status_line(kStatus) +
           identity("M", "F", "S", "A")},
      {"status_alone", make_tar({{"status.txt", kStatus}}), 3,
       kHead + status_line(kStatus) + identity("M", "F", "S", "A")},
      {"html_page", test::bytes_of(html), 3,
       kHead + "\tfile error -6.\r\nbackup\terror status.txt file not found.\r\n"},
      {"no_mac", make_tar({{"status.txt", kNoMac}, {"/a", "b"}}), 0,
       kHead + status_line(kNoMac) + "\t/a (1 bytes)\r\n" + identity("M", "F", "S", "(null)")},
      {"number_shifts_keys",
       make_tar({{"status.txt", R"({"model_name":1,"firmware_version":"F"})"}, {"/a", "b"}}), 0,
       kHead + "\tstatus.txt (39 bytes)\r\n\t/a (1 bytes)\r\n" +
           identity("firmware_version", "(null)", "(null)", "(null)")},
      {"broken_json_keeps_keys",
       make_tar({{"status.txt", R"({"mac":"A","model_name":)"}, {"/a", "b"}}), 0,
       kHead + "\tstatus.txt (24 bytes)\r\n\t/a (1 bytes)\r\n" +
           identity("(null)", "(null)", "(null)", "A")},
      {"empty_archive", make_tar({}), 3, kHead + "backup\terror status.txt file not found.\r\n"},
      {"empty_status", make_tar({{"status.txt", ""}, {"/a", "b"}}), 0,
       kHead + "\tstatus.txt (0 bytes)\r\n\t/a (1 bytes)\r\nbackup\terror status.txt file size "
               "error\r\n"},
      {"value_without_memory", make_tar({{"status.txt", big}, {"/a", "b"}}), 0,
       big_listing + identity("(null)", "(null)", "(null)", "A"), 1500, 2500},
      {"text_without_memory", make_tar({{"status.txt", big}, {"/a", "b"}}), 0, big_listing, 2500},
      {"no_data", {}, 1, ""},
  };
  for (const auto& c : cases) {
    test::ConsoleCapture capture;
    backup_file file;
    file.received.data = c.answer;
    std::tie(test::refuse_from, test::refuse_to) = std::tie(c.refuse_from, c.refuse_to);
    const int result = backup_check_file(&file);
    test::refuse_from = test::refuse_to = SIZE_MAX;
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(capture.out(), c.out) << c.name;
  }
  EXPECT_EQ(backup_check_file(nullptr), 1);
}

}  // namespace
}  // namespace torvi
