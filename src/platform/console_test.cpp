#include "platform/console.h"

#include <gtest/gtest.h>

#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "platform/terminal.h"
#include "test_support.h"

namespace torvi {
namespace {

// Workers writing at the same time each fill their own file, line for line;
// the process's streams get only what threads without a scope write, also
// a worker's once its scope has ended.
TEST(ConsoleScope, EachThreadWritesWhereItsScopeSays) {
  test::TempDir dir;
  test::ConsoleCapture process;
  std::vector<std::thread> workers;
  std::latch all_set(5);  // every scope in place before anyone writes
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&, w] {
      {
        unique_file log = file_open(dir.file(std::to_string(w)), "wb");
        console_scope scope(log.get(), log.get());
        all_set.arrive_and_wait();
        for (int i = 0; i < 500; ++i) {
          console_out("worker %d line %d\n", w, i);
          console_err("worker %d error %d\n", w, i);
        }
      }
      console_err("worker %d done\n", w);
    });
  }
  all_set.arrive_and_wait();
  console_out("main\n");
  for (std::thread& t : workers) t.join();
  for (int w = 0; w < 4; ++w) {
    std::string want;
    for (int i = 0; i < 500; ++i) {
      want += "worker " + std::to_string(w) + " line " + std::to_string(i) + "\n";
      want += "worker " + std::to_string(w) + " error " + std::to_string(i) + "\n";
    }
    const std::vector<std::uint8_t> got = test::read_file(dir.file(std::to_string(w)));
    EXPECT_EQ(std::string(got.begin(), got.end()), want);
    EXPECT_NE(process.err().find("worker " + std::to_string(w) + " done\n"), std::string::npos);
  }
  EXPECT_EQ(process.out(), "main\n");
}

TEST(ConsoleScope, UtcTime) {
  std::tm utc{};
  ASSERT_TRUE(platform_utc_time(951782400, utc));  // the leap day of 2000
  EXPECT_EQ(utc.tm_year + 1900, 2000);
  EXPECT_EQ(utc.tm_mon + 1, 2);
  EXPECT_EQ(utc.tm_mday, 29);
  EXPECT_EQ(utc.tm_hour + utc.tm_min + utc.tm_sec, 0);
}

}  // namespace
}  // namespace torvi
