#include "sim/korvan_sim.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <regex>

#include "sim/config_files.h"
#include "sim/firmware_maker.h"
#include "sim/sim_archive.h"
#include "sim/sim_test_support.h"

namespace korvan {
namespace {

// A bare HTTP/1.0 exchange, so faults that break the protocol are seen as
// they are rather than through a client library's error handling. Returns
// the raw bytes up to the server's close.
std::string raw_get(uint16_t port, const std::string& target, int timeout_s = 5) {
  std::string reply;
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = loopback(port);
  const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) >= 0) {
    eventually(
        [&] {  // until the server closes
          pollfd p{fd, POLLIN, 0};
          char chunk[8192];
          const bool ready = ::poll(&p, 1, 100) > 0;
          const ssize_t n = ready ? ::recv(fd, chunk, sizeof chunk, 0) : 0;
          if (n > 0) reply.append(chunk, static_cast<size_t>(n));
          return ready && n <= 0;
        },
        timeout_s);
  }
  ::close(fd);
  return reply;
}

std::string body_of(const std::string& reply) {
  const size_t at = reply.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : reply.substr(at + 4);
}

Bytes make_image(const std::string& model, const std::string& version) {
  return make_firmware_image(
      {.model = model, .version_string = version, .size = 0x1C0100, .raw = true});
}

std::vector<ArchiveMember> unpack(const Bytes& tar) {
  std::vector<ArchiveMember> members;
  std::string error;
  EXPECT_TRUE(archive_unpack(tar, members, &error)) << error;
  return members;
}

class SimTest : public ::testing::Test {
 protected:
  void start(const std::string& firmware = "2.2.4", std::vector<std::string> faults = {}) {
    sim_ = std::make_unique<Simulator>(SimOptions{.firmware = firmware, .faults = faults});
    std::string error;
    ASSERT_TRUE(sim_->start(&error)) << error;
  }
  void TearDown() override {
    if (sim_) sim_->stop();
  }
  std::string get(const std::string& target) { return body_of(raw_get(sim_->port(), target)); }
  std::string command(const std::string& query) { return get("/api/v100/status.ssi?" + query); }
  std::map<std::string, std::string> status() { return json_members(get("/api/v100/status.ssi")); }

  std::unique_ptr<Simulator> sim_;
};

// The status document and every archive, as the tool reads them; each archive
// is read by libarchive and by GNU tar, which shares no code with either side.
TEST_F(SimTest, StatusAndArchivesAsServed) {
  start("1.5.0");
  const auto members = status();
  EXPECT_EQ(members.size(), 22u);
  EXPECT_EQ(members.at("model_name") + " " + members.at("firmware_version"), "KORVAN-4 1.5.0");
  TempDir dir;
  const bool gnu_tar = have_program("tar");
  for (const ConfigName& config : config_names()) {
    SCOPED_TRACE(config.name);
    const Bytes body = bytes_of(get(std::string("/api/v100/backup.ssi?config=") + config.name));
    const auto files = unpack(body);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].name, config.path);
    EXPECT_EQ(files[1].name, "status.txt");
    auto identity = json_members(text_of(files[1].data));
    EXPECT_EQ(identity, (decltype(identity){{"model_name", "KORVAN-4"},
                                            {"firmware_version", "1.5.0"},
                                            {"serial_number", members.at("serial_number")},
                                            {"mac", members.at("mac")}}));
    if (!gnu_tar) continue;
    write_file(dir.file("a.tar"), body);
    const std::string listing = output_of("tar -tvf " + dir.file("a.tar") + " 2>/dev/null");
    EXPECT_TRUE(
        std::regex_search(listing, std::regex(" " + std::to_string(files[0].data.size()) + " .*" +
                                              (config.path + 1) + "\n.*status\\.txt")))
        << listing;
  }
}

// Restores against a controller on firmware 1.3.1, which takes gear layouts
// up to version 2.
TEST_F(SimTest, RestoreAppliesOnlySoundMembers) {
  start("1.3.1");
  EXPECT_TRUE(contains(command("action=restoreconfig"), "nothing has been uploaded"));
  const ConfigName& dali1 = *find_config_by_name("dali1");
  Bytes good = make_config_file(dali1, "1.3.1");
  good[60 + 106] = 'X';            // first letter of the first gear name (layout 2)
  store_u32(good.data() + 12, 3);  // converted three times
  seal_config_header(good, load_u32(good.data() + 8));
  Bytes bad_crc = good, bad_length = good;
  bad_crc[200] ^= 0x40;
  bad_length[0]++;
  const Bytes rlc = bytes_of("new rule set");
  const std::string rlc_path = "/etc/config/rlc/rlc.bin";
  auto tar = [](const char* path, const Bytes& data) { return archive_pack({{path, data, 0}}); };
  const Bytes good_tar = tar(dali1.path, good);
  Bytes bad_sum = good_tar;
  archive_corrupt_checksum(bad_sum, 0);
  struct Case {
    Bytes upload;
    std::vector<std::string> applied;  // member paths
    std::vector<std::string> refused;  // a word of each refusal
    std::string first_line = {};       // event and reply line of the first member
  } cases[] = {
      {good_tar,
       {dali1.path},
       {},
       "applied /etc/config/dali/dali1.bin (layout 2, conversion counter 3)"},
      {tar(rlc_path.c_str(), rlc), {rlc_path}, {}, "applied " + rlc_path},
      {tar(dali1.path, bad_crc), {}, {"checksum"}},
      {tar(dali1.path, bad_length), {}, {"length field"}},
      {tar(rlc_path.c_str(), {}), {}, {"empty file"}},
      {tar(dali1.path, make_config_file(dali1, "2.2.4")), {}, {"layout version 3 is newer"}},
      {tar("/etc/passwd", rlc), {}, {"not a configuration path"}},
      {tar("/etc/config/dali/cd1.bin", good), {}, {"layout version 2 needs"}},
      {archive_pack({{dali1.path, bad_crc, 0}, {rlc_path, rlc, 0}}), {rlc_path}, {"checksum"}},
      {sim_->backup_archive("dali2"), {"/etc/config/dali/dali2.bin"}, {"status.txt"}},
      {bytes_of(std::string(3000, 'x')), {}, {"not a tar archive"}},
      {Bytes(good_tar.begin(), good_tar.begin() + 1000), {}, {"not a tar archive"}},
      {bad_sum, {}, {"not a tar archive"}},
      {Bytes(1024, 0), {}, {"refused"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.upload.size());
    std::map<std::string, Bytes> before;
    for (const ConfigName& config : config_names())
      before[config.path] = sim_->config_file(config.name);
    sim_->clear_events();
    sim_->receive_upload("flashraw.bin", c.upload);
    const std::string reply = command("action=restoreconfig");
    const auto restores = events_of(*sim_, "restore");
    ASSERT_EQ(restores.size(), c.applied.size() + c.refused.size()) << reply;
    std::vector<ArchiveMember> uploaded;
    archive_unpack(c.upload, uploaded, nullptr);
    for (const ArchiveMember& m : uploaded)
      if (std::count(c.applied.begin(), c.applied.end(), m.name)) {
        EXPECT_EQ(sim_->config_file(find_config_by_path(m.name)->name), m.data);
        before.erase(m.name);
      }
    if (!c.first_line.empty()) {
      EXPECT_EQ(restores.at(0).detail, c.first_line);
      EXPECT_TRUE(contains(reply, "\n" + c.first_line + "\n")) << reply;
    }
    for (const std::string& word : c.refused) {
      bool found = false;
      for (const SimEvent& e : restores) found |= !e.ok && contains(e.detail, word);
      EXPECT_TRUE(found) << word << " not among the refusals; reply: " << reply;
    }
    for (const auto& [path, bytes] : before)  // nothing else moved
      EXPECT_EQ(sim_->config_file(find_config_by_path(path)->name), bytes) << path;
  }
}

// Starts on 1.3.1; each image installed raises the layouts a restore takes.
TEST_F(SimTest, UpgradeInstallsOnlyTheMatchingImage) {
  start("1.3.1");
  auto query = [](const Bytes& image) {
    return "hash=" + firmware_digest_hex(image) + "&size=" + std::to_string(image.size());
  };
  const Bytes image = make_image("KORVAN-4", "2.3.0"), other = make_image("KORVAN-4", "2.4.1");
  const Bytes korvan8 = make_image("KORVAN-8", "2.3.0");
  const std::string hash = firmware_digest_hex(image), size = std::to_string(image.size());
  std::string upper = query(other);
  for (size_t i = 5; i < 69; ++i) upper[i] = static_cast<char>(std::toupper(upper[i]));
  struct Case {
    Bytes upload;
    std::string query;
    std::string outcome;  // in the event's detail: a refusal's word or "installed VERSION"
  } cases[] = {
      {image, "hash=" + hash + "&size=" + std::to_string(image.size() - 1), "size"},
      {image, "hash=" + std::string(64, '0') + "&size=" + size, "hash"},
      {korvan8, query(korvan8), "model"},
      {Bytes(1000, 1), query(Bytes(1000, 1)), "too short"},
      {image, query(image), "installed 2.3.0"},
      {other, upper, "installed 2.4.1"},
  };
  std::string version = "1.3.1";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.outcome);
    sim_->clear_events();
    sim_->receive_upload("flashraw.bin", c.upload);
    EXPECT_FALSE(command("action=firmwareupgrade&" + c.query).empty());
    const auto upgrades = events_of(*sim_, "upgrade");
    ASSERT_EQ(upgrades.size(), 1u);
    const bool installs = c.outcome.rfind("installed ", 0) == 0;
    if (installs) version = c.outcome.substr(10);
    EXPECT_EQ(upgrades[0].ok, installs) << upgrades[0].detail;
    EXPECT_TRUE(contains(upgrades[0].detail, c.outcome)) << upgrades[0].detail;
    EXPECT_EQ(status()["firmware_version"], version);
  }
}

// Faults given at start, refused names, and a reply held back that does not
// hold up stop, which takes the private state folder along. (What each fault
// does to the tool's actions is the fault matrix's business; a 404 only shows
// on the wire.)
TEST_F(SimTest, FaultsFromOptionsAndStopWhileDelayed) {
  start("2.2.4", {"status-no-model", "http-delay=1", "backup-no-status"});
  EXPECT_EQ(status().count("model_name"), 0u);
  EXPECT_EQ(unpack(bytes_of(get("/api/v100/backup.ssi?config=rlc"))).size(), 1u);
  EXPECT_FALSE(sim_->set_fault("no-such-fault"));
  ASSERT_TRUE(sim_->set_fault("status-404"));
  EXPECT_EQ(raw_get(sim_->port(), "/api/v100/status.ssi").substr(0, 12), "HTTP/1.1 404");
  const std::string dir = sim_->state_dir();
  ASSERT_TRUE(sim_->set_fault("http-delay=120000"));
  sim_->clear_events();
  std::thread client([port = sim_->port()] { raw_get(port, "/api/v100/status.ssi", 20); });
  eventually([&] { return !events_of(*sim_, "http").empty(); }, 10);
  const auto before = std::chrono::steady_clock::now();
  sim_->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
  client.join();
  EXPECT_FALSE(std::filesystem::exists(dir));
  Simulator bad(SimOptions{.faults = {"http-delay=soon"}});
  std::string error;
  EXPECT_FALSE(bad.start(&error));
  EXPECT_TRUE(contains(error, "http-delay=soon")) << error;
}

// A port taken for TCP or for UDP fails the start with its reason, returns
// at once, and leaves neither socket bound nor anything for stop() to wait on.
TEST(SimStart, PortInUseFailsAndLeavesNothingBound) {
  for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
    // A port whose other half is free too, held by a TCP socket until the
    // UDP half is taken, so that only the half under test is in use when
    // the simulator starts (other tests bind ports at the same time).
    sockaddr_in addr = loopback(0);
    int taken = -1;
    for (int attempt = 0; attempt < 50 && taken < 0; ++attempt) {
      const int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
      addr = loopback(0);
      socklen_t len = sizeof addr;
      ASSERT_EQ(::bind(tcp, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
      ASSERT_EQ(::getsockname(tcp, reinterpret_cast<sockaddr*>(&addr), &len), 0);
      if (type == SOCK_STREAM) {
        taken = tcp;
        break;
      }
      const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
      if (::bind(udp, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        taken = udp;
      } else {
        ::close(udp);
      }
      ::close(tcp);
    }
    ASSERT_GE(taken, 0);
    Simulator sim(SimOptions{.port = ntohs(addr.sin_port)});
    std::string error;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(sim.start(&error));
    EXPECT_TRUE(contains(error, type == SOCK_STREAM ? "cannot bind TCP" : "cannot bind UDP"))
        << error;
    sim.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
    ::close(taken);
    // Both halves are free again: a simulator on the same port starts.
    EXPECT_TRUE(sim.start(&error)) << error;
  }
}

std::vector<pid_t> threads_of_this_process() {
  std::vector<pid_t> ids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ids.push_back(std::stoi(entry.path().filename().string()));
  return ids;
}

// The host's SIGPIPE disposition and its own thread's mask stay as they are,
// yet a SIGPIPE raised on any thread of the simulator (as a write to a closed
// connection raises it) does not end the host.
TEST(SimStart, SigpipeOnItsThreadsSparesTheHost) {
  struct sigaction dfl {
  }, seen{}, saved{};
  dfl.sa_handler = SIG_DFL;
  ASSERT_EQ(::sigaction(SIGPIPE, &dfl, &saved), 0);
  const std::vector<pid_t> before = threads_of_this_process();
  Simulator sim(SimOptions{});
  ASSERT_TRUE(sim.start());
  size_t signalled = 0;
  for (pid_t id : threads_of_this_process())
    if (std::find(before.begin(), before.end(), id) == before.end())
      signalled += ::syscall(SYS_tgkill, ::getpid(), id, SIGPIPE) == 0;
  EXPECT_GE(signalled, 2u);  // at least the TFTP server and the HTTP listener
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_FALSE(sigismember(&mask, SIGPIPE));
  ::sigaction(SIGPIPE, &saved, &seen);
  EXPECT_EQ(seen.sa_handler, SIG_DFL);
  EXPECT_EQ(json_members(body_of(raw_get(sim.port(), "/api/v100/status.ssi"))).at("model_name"),
            "KORVAN-4");
}

}  // namespace
}  // namespace korvan
