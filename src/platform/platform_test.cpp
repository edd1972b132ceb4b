#include "platform/platform.h"

#include <gtest/gtest.h>

#include <chrono>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/time.h>
#endif

namespace torvi {
namespace {

TEST(PlatformTest, JoinsAFolderAndANameWithOneSeparator) {
  struct Case {
    const char* folder;
    const char* name;
    const char* posix;
    const char* windows;
  };
  const Case cases[] = {
      {"backups", "dali1.tar", "backups/dali1.tar", "backups\\dali1.tar"},
      {"D:\\backups", "backup.zip", "D:\\backups/backup.zip", "D:\\backups\\backup.zip"},
      {"D:\\backups\\", "cd1.tar", "D:\\backups\\/cd1.tar", "D:\\backups\\cd1.tar"},
      {"D:/backups/", "cd1.tar", "D:/backups/cd1.tar", "D:/backups/cd1.tar"},
      {"/", "rlc.tar", "/rlc.tar", "/rlc.tar"},
      // the current folder, never the root
      {"", "dali1.tar", "dali1.tar", "dali1.tar"},
  };
  for (const Case& c : cases) {
#ifdef _WIN32
    EXPECT_EQ(platform_join_path(c.folder, c.name), c.windows) << c.folder;
#else
    EXPECT_EQ(platform_join_path(c.folder, c.name), c.posix) << c.folder;
#endif
  }
}

// A backup's name is made from the address the user typed; on Windows it
// must stay one plain file in the folder.
TEST(PlatformTest, FileNamesKeepOnlyWhatTheSystemAllows) {
  struct Case {
    const char* name;
    const char* windows;
  };
  const Case cases[] = {
      {"backup_192.168.1.20_KORVAN_20260305_140709.zip",
       "backup_192.168.1.20_KORVAN_20260305_140709.zip"},
      {"backup_127.0.0.1:41234_KORVAN.zip", "backup_127.0.0.1_41234_KORVAN.zip"},
      {"backup_[::1]:80_KORVAN.zip", "backup_[__1]_80_KORVAN.zip"},
      {"a<b>c\"d/e\\f|g?h*i\tj", "a_b_c_d_e_f_g_h_i_j"},
  };
  for (const Case& c : cases) {
#ifdef _WIN32
    EXPECT_EQ(platform_file_name(c.name), c.windows) << c.name;
#else
    EXPECT_EQ(platform_file_name(c.name), c.name);
#endif
  }
}

// The calendar fields name the same moment again in the local time zone.
TEST(PlatformTest, LocalTimeRoundTrips) {
  for (std::time_t when : {std::time_t{86400}, std::time_t{1772719629}, std::time(nullptr)}) {
    std::tm local{};
    ASSERT_TRUE(platform_local_time(when, local)) << when;
    EXPECT_EQ(std::mktime(&local), when) << when;
  }
}

#ifdef _WIN32
// Sleep may end up to one clock tick early.
constexpr auto kPauseSlack = std::chrono::milliseconds(16);
#else
constexpr auto kPauseSlack = std::chrono::milliseconds(1);
void ignore_signal(int) {}
#endif

TEST(PlatformTest, PauseLastsItsWholeTime) {
#ifndef _WIN32
  // A signal arriving during the pause must not cut it short.
  struct sigaction quiet {};
  struct sigaction saved {};
  quiet.sa_handler = ignore_signal;  // no SA_RESTART: the sleep sees EINTR
  sigaction(SIGALRM, &quiet, &saved);
  itimerval timer{};
  timer.it_value.tv_usec = 20000;
  setitimer(ITIMER_REAL, &timer, nullptr);
#endif
  const auto start = std::chrono::steady_clock::now();
  platform_sleep_ms(120);
  const auto elapsed = std::chrono::steady_clock::now() - start;
#ifndef _WIN32
  sigaction(SIGALRM, &saved, nullptr);
#endif
  EXPECT_GE(elapsed, std::chrono::milliseconds(120) - kPauseSlack);
}

#ifdef _WIN32
// The preparation works on whatever console the standard output is: give it
// a fresh screen buffer, so the real console's mode stays as it was.
TEST(PlatformTest, ConsolePreparationAddsVirtualTerminalProcessing) {
  HANDLE buffer = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            CONSOLE_TEXTMODE_BUFFER, nullptr);
  if (buffer == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no console: run from a terminal";
  const DWORD before = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;
  ASSERT_TRUE(SetConsoleMode(buffer, before));
  HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, buffer);
  platform_prepare_console();
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  DWORD after = 0;
  ASSERT_TRUE(GetConsoleMode(buffer, &after));
  CloseHandle(buffer);
  EXPECT_EQ(after, before | 0x0004);
}
#endif

}  // namespace
}  // namespace torvi
