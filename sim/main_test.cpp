// The korvan-sim executable as a technician runs it, with curl and tftp-hpa
// as the peers.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "sim/sim_test_support.h"

namespace korvan {
namespace {

// korvan-sim started as a child process (by a shell that names its pid and
// then becomes the simulator), its standard output read line by line.
class SimProcess {
 public:
  explicit SimProcess(const std::string& args) {
    out_ = ::popen(("echo $$; exec timeout -s KILL 120 " + std::string(KORVAN_SIM_PATH) + " " +
                    args + " 2>/dev/null")
                       .c_str(),
                   "r");
    pid_ = std::atoi(line().c_str());
  }
  ~SimProcess() {
    if (status_ < 0 && pid_ > 0) ::kill(pid_, SIGKILL);
    stop();
  }
  std::string line() {
    char text[4096] = "";
    return out_ && std::fgets(text, sizeof text, out_) ? text : "";
  }
  // The port from the first line; empty when the line is not as announced.
  std::string port() {
    std::smatch m;
    static const std::regex first("^korvan-sim listening on 127\\.0\\.0\\.1:(\\d+)\n");
    const std::string text = line();
    return std::regex_search(text, m, first) ? m[1].str() : std::string();
  }
  // Sends `signal` (none for 0) and returns the exit status (128 + N for signal N).
  int stop(int signal = 0) {
    if (signal && pid_ > 0) ::kill(pid_, signal);
    if (out_) {
      while (!line().empty()) {  // to the end, so no late line meets a closed pipe
      }
      const int status = ::pclose(out_);
      out_ = nullptr;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return status_;
  }

 private:
  FILE* out_ = nullptr;
  pid_t pid_ = -1;
  int status_ = -1;
};

std::string curl(const std::string& port, const std::string& target,
                 const std::string& extra = "") {
  return output_of("curl -sS -m 10 " + extra + " 'http://127.0.0.1:" + port + target + "' 2>&1");
}

TEST(SimExecutable, ServesCurlAndStopsCleanlyOnEitherSignal) {
  if (!have_program("curl")) GTEST_SKIP() << "curl is not installed";
  for (int signal : {SIGTERM, SIGINT}) {
    SimProcess sim("--listen 127.0.0.1:0 --firmware 1.3.1 --log");
    const std::string port = sim.port();
    ASSERT_FALSE(port.empty());
    EXPECT_TRUE(contains(curl(port, "/api/v100/status.ssi"), "\"firmware_version\":\"1.3.1\""));
    // 10912 bytes of layout 2 and status.txt in a tar
    EXPECT_EQ(curl(port, "/api/v100/backup.ssi?config=dali1",
                   "-o /dev/null -w '%{http_code} %{size_download}'"),
              "200 13824");
    EXPECT_EQ(curl(port, "/api/v100/backup.ssi?config=x", "-o /dev/null -w '%{http_code}'"), "404");
    EXPECT_EQ(sim.line(), "{\"kind\":\"http\",\"detail\":\"/api/v100/status.ssi\",\"ok\":true}\n");
    sim.line();
    EXPECT_TRUE(contains(sim.line(), "backup.ssi?config=x"));
    EXPECT_EQ(sim.stop(signal), 0);
  }
  SimProcess faulty("--listen 127.0.0.1:0 --fault http-close --fault=tftp-ack-delay=500");
  const std::string port = faulty.port();
  ASSERT_FALSE(port.empty());
  // curl's own words for a connection closed without a reply.
  EXPECT_TRUE(contains(curl(port, "/api/v100/status.ssi"), "Empty reply from server"));
  EXPECT_EQ(faulty.stop(SIGTERM), 0);
}

// Three controllers: the inventory is written by the time the listening
// lines come, each controller answers with the firmware dealt to it, the
// fault aimed at one touches no other, and log lines name the controller.
TEST(SimExecutable, ServesASiteAndWritesItsInventory) {
  if (!have_program("curl")) GTEST_SKIP() << "curl is not installed";
  TempDir dir;
  SimProcess sim(
      "--listen 127.0.0.1:0 --controllers 3 --firmware 1.3.1,2.2.4 --log --fault "
      "status-404@3 --inventory " +
      dir.file("site.csv"));
  std::string ports[3], rows = "name,address,serial_number,mac\n";
  for (int i = 0; i < 3; ++i) {
    ports[i] = sim.port();
    ASSERT_FALSE(ports[i].empty());
    rows += "korvan-0" + std::to_string(i + 1) + ",127.0.0.1:" + ports[i] + ",K4-2311-00421" +
            std::to_string(i + 7) + ",00:1B:C5:0B:42:1" + std::to_string(i + 7) + "\n";
  }
  EXPECT_EQ(text_of(read_file(dir.file("site.csv"))), rows);
  EXPECT_TRUE(contains(curl(ports[0], "/api/v100/status.ssi"), "\"firmware_version\":\"1.3.1\""));
  EXPECT_TRUE(contains(curl(ports[1], "/api/v100/status.ssi"), "\"firmware_version\":\"2.2.4\""));
  EXPECT_EQ(curl(ports[2], "/api/v100/status.ssi", "-o /dev/null -w '%{http_code}'"), "404");
  EXPECT_EQ(sim.line(),
            "{\"controller\":\"korvan-01\",\"kind\":\"http\",\"detail\":\"/api/v100/"
            "status.ssi\",\"ok\":true}\n");
  EXPECT_EQ(sim.stop(SIGTERM), 0);
}

TEST(SimExecutable, RefusesBadArguments) {
  for (const char* args :
       {"--fault status-500", "--fault tftp-ack-delay=1000001", "--listen localhost:80",
        "--listen 127.0.0.1:65536", "--listen", "--bogus", "--controllers 0",
        "--fault http-close@3 --controllers 2", "--firmware 1.3.1,,2.2.4"})
    EXPECT_EQ(SimProcess(args).stop(), 2) << args;
  EXPECT_EQ(SimProcess("--help").stop(), 0);
}

}  // namespace
}  // namespace korvan
