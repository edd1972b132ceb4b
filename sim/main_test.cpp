// The korvan-sim executable as a technician runs it, with curl and tftp-hpa
// as the peers.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_test_support.h"

namespace korvan {
namespace {

// korvan-sim started as a child process, its standard output on a pipe.
class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args) {
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      std::string program = KORVAN_SIM_PATH;
      std::vector<char*> argv{program.data()};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
  }
  ~SimProcess() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  // Reads standard output until `lines` lines arrived or ten seconds are up.
  std::string read_lines(size_t lines) {
    eventually(
        [&] {
          pollfd p{out_, POLLIN, 0};
          char chunk[4096];
          const bool ready = ::poll(&p, 1, 50) > 0;
          const ssize_t n = ready ? ::read(out_, chunk, sizeof chunk) : 0;
          if (n > 0) output_.append(chunk, static_cast<size_t>(n));
          return (ready && n <= 0) ||  // the end of the output
                 std::count(output_.begin(), output_.end(), '\n') >= static_cast<long>(lines);
        },
        10);
    return output_;
  }

  // The port from the first line; empty when the line is not as announced.
  std::string port() {
    std::smatch m;
    static const std::regex line("^korvan-sim listening on 127\\.0\\.0\\.1:(\\d+)\n");
    const std::string first = read_lines(1);
    return std::regex_search(first, m, line) ? m[1].str() : std::string();
  }

  // Sends `signal` (none for 0) and waits up to ten seconds for the exit status.
  int stop(int signal = 0) {
    if (signal) ::kill(pid_, signal);
    int status = 0;
    if (!eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 10)) return -1;
    return status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -1;
  std::string output_;
};

std::string curl(const std::string& port, const std::string& target,
                 const std::string& extra = "") {
  return output_of("curl -sS -m 10 " + extra + " 'http://127.0.0.1:" + port + target + "' 2>&1");
}

std::string tftp_put(const std::string& port, const std::string& file) {
  return "timeout 60 tftp -m binary 127.0.0.1 " + port + " -c put " + file +
         " flashraw.bin >/dev/null 2>&1";
}

TEST(SimExecutable, ServesCurlAndStopsCleanlyOnEitherSignal) {
  if (!have_program("curl")) GTEST_SKIP() << "curl is not installed";
  for (int signal : {SIGTERM, SIGINT}) {
    SimProcess sim({"--listen", "127.0.0.1:0", "--firmware", "1.3.1", "--log"});
    const std::string port = sim.port();
    ASSERT_FALSE(port.empty()) << sim.read_lines(1);
    EXPECT_TRUE(contains(curl(port, "/api/v100/status.ssi"), "\"firmware_version\":\"1.3.1\""));
    // 10912 bytes of layout 2 and status.txt in a tar
    EXPECT_EQ(curl(port, "/api/v100/backup.ssi?config=dali1",
                   "-o /dev/null -w '%{http_code} %{size_download}'"),
              "200 13824");
    EXPECT_EQ(curl(port, "/api/v100/backup.ssi?config=x", "-o /dev/null -w '%{http_code}'"), "404");
    const std::string log = sim.read_lines(4);
    EXPECT_TRUE(
        contains(log, "{\"kind\":\"http\",\"detail\":\"/api/v100/status.ssi\",\"ok\":true}\n"))
        << log;
    EXPECT_TRUE(contains(log, "backup.ssi?config=x")) << log;
    EXPECT_EQ(sim.stop(signal), 0);
  }
}

// Through the real peers: tftp-hpa uploads, curl asks for the restore, and
// the restored file is in the next backup and after a restart; then a made
// firmware is installed the way a technician rehearses it by hand.
TEST(SimExecutable, RestoreSurvivesRestartThenUpgradeOverTftp) {
  if (!have_program("curl") || !have_program("tftp") || !have_program("tar") ||
      !have_program("sha256sum"))
    GTEST_SKIP() << "curl, tftp-hpa, tar or sha256sum missing";
  TempDir dir;
  const std::string state = dir.file("state"), image = dir.file("image.bin");
  auto fetched = [&](const std::string& port) {
    curl(port, "/api/v100/backup.ssi?config=rlc", "-o " + dir.file("rlc.tar"));
    return output_of("tar -P -xOf " + dir.file("rlc.tar") + " /etc/config/rlc/rlc.bin");
  };
  {
    SimProcess sim({"--listen", "127.0.0.1:0", "--state", state});
    const std::string port = sim.port();
    ASSERT_FALSE(port.empty());
    // An opaque configuration restored as GNU tar packs it by hand.
    ASSERT_EQ(
        run_command("mkdir -p " + dir.file("root/etc/config/rlc") + " && printf 'rules v2' > " +
                    dir.file("root/etc/config/rlc/rlc.bin") + " && tar --format=v7 -C " +
                    dir.file("root") + " -cf " + dir.file("up.tar") +
                    " --transform 's,^,/,' etc/config/rlc/rlc.bin 2>/dev/null"),
        0);
    run_command(tftp_put(port, dir.file("up.tar")));
    EXPECT_TRUE(contains(curl(port, "/api/v100/status.ssi?action=restoreconfig"),
                         "applied /etc/config/rlc/rlc.bin"));
    EXPECT_EQ(fetched(port), "rules v2");
    EXPECT_EQ(sim.stop(SIGTERM), 0);
  }
  SimProcess again({"--listen", "127.0.0.1:0", "--state", state});
  const std::string port = again.port();
  ASSERT_FALSE(port.empty());
  EXPECT_EQ(fetched(port), "rules v2");
  EXPECT_TRUE(contains(curl(port, "/api/v100/status.ssi"), "\"boot_count\":\"2\""));

  ASSERT_EQ(run_command(std::string(KORVAN_SIM_PATH) + " make-firmware --raw --out " + image +
                        " --version-string 3.1.0 --size 2000000 >/dev/null"),
            0);
  const std::string hash = output_of("sha256sum " + image + " | cut -c1-64 | tr -d '\\n'");
  run_command(tftp_put(port, image));
  const std::string reply =
      curl(port, "/api/v100/status.ssi?action=firmwareupgrade&hash=" + hash + "&size=2000000");
  EXPECT_TRUE(contains(reply, "installed version 3.1.0")) << reply;
  EXPECT_TRUE(contains(curl(port, "/api/v100/status.ssi"), "\"firmware_version\":\"3.1.0\""));
  EXPECT_EQ(again.stop(SIGTERM), 0);
  // Every write went through a temporary file and a rename; none is left over.
  EXPECT_EQ(output_of("ls -a " + state + " | grep -c tmp"), "0\n");
}

TEST(SimExecutable, FaultsFromTheCommandLine) {
  if (!have_program("curl")) GTEST_SKIP() << "curl is not installed";
  SimProcess sim({"--listen", "127.0.0.1:0", "--fault", "http-close", "--fault=status-404"});
  const std::string port = sim.port();
  ASSERT_FALSE(port.empty());
  // curl's own words for a connection closed without a reply.
  EXPECT_TRUE(contains(curl(port, "/api/v100/status.ssi"), "Empty reply from server"));
  EXPECT_EQ(sim.stop(SIGTERM), 0);
}

TEST(SimExecutable, RefusesBadArguments) {
  struct Case {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{"--fault", "status-500"}, 2},
      {{"--fault", "http-delay"}, 2},
      {{"--listen", "localhost:80"}, 2},
      {{"--listen", "127.0.0.1:65536"}, 2},
      {{"--listen"}, 2},
      {{"--bogus"}, 2},
      {{"--help"}, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(SimProcess(c.args).stop(), c.status) << c.args[0];
}

}  // namespace
}  // namespace korvan
