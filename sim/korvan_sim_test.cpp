#include "sim/korvan_sim.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "sim/config_files.h"
#include "sim/firmware_maker.h"
#include "sim/sim_archive.h"
#include "sim/sim_test_support.h"

namespace korvan {
namespace {

// The members of a flat JSON object of strings, as the tool's reader sees them.
std::map<std::string, std::string> json_members(const std::string& text) {
  std::map<std::string, std::string> out;
  static const std::regex member("\"([^\"]*)\":\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), member);
       it != std::sregex_iterator(); ++it)
    out[(*it)[1]] = (*it)[2];
  return out;
}

// What came back on one connection: the raw bytes up to the server's close.
struct RawReply {
  std::string bytes;
  std::string body() const {
    size_t at = bytes.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : bytes.substr(at + 4);
  }
  long content_length() const {
    std::smatch m;
    static const std::regex header("Content-Length: (\\d+)", std::regex::icase);
    return std::regex_search(bytes, m, header) ? std::stol(m[1]) : -1;
  }
};

// A bare HTTP/1.0 exchange, so faults that break the protocol are seen as
// they are rather than through a client library's error handling.
RawReply raw_get(uint16_t port, const std::string& target, int timeout_s = 5) {
  RawReply reply;
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) >= 0) {
    eventually(
        [&] {  // until the server closes
          pollfd p{fd, POLLIN, 0};
          char chunk[8192];
          const bool ready = ::poll(&p, 1, 100) > 0;
          const ssize_t n = ready ? ::recv(fd, chunk, sizeof chunk, 0) : 0;
          if (n > 0) reply.bytes.append(chunk, static_cast<size_t>(n));
          return ready && n <= 0;
        },
        timeout_s);
  }
  ::close(fd);
  return reply;
}

// A raw firmware image with its information block, from the firmware maker.
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
    SimOptions options;
    options.firmware = firmware;
    options.faults = std::move(faults);
    sim_ = std::make_unique<Simulator>(std::move(options));
    std::string error;
    ASSERT_TRUE(sim_->start(&error)) << error;
    client_ = std::make_unique<httplib::Client>("127.0.0.1", sim_->port());
    client_->set_connection_timeout(5, 0);
    client_->set_read_timeout(5, 0);
  }
  void TearDown() override {
    if (sim_) sim_->stop();
  }
  httplib::Result get(const std::string& target) { return client_->Get(target.c_str()); }
  std::string command(const std::string& query) {
    auto r = get("/api/v100/status.ssi?" + query);
    return r ? r->body : "(no reply)";
  }
  std::map<std::string, std::string> status() {
    return json_members(get("/api/v100/status.ssi")->body);
  }

  std::unique_ptr<Simulator> sim_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(SimTest, StatusDocumentHasAllMembersAsStrings) {
  start("1.5.0");
  auto r = get("/api/v100/status.ssi");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  const auto members = json_members(r->body);
  std::istringstream names(
      "model_name firmware_version build_date license license_number hostname serial_number mac "
      "rtc_temperature ram_memory flash_memory boot_count time uptime dali_channel_1 "
      "dali_channel_2 dali_channel_3 dali_channel_4 ip bacnet_ip session_id username");
  for (std::string name; names >> name;) {
    ASSERT_TRUE(members.count(name)) << name << " missing from " << r->body;
    EXPECT_FALSE(members.at(name).empty()) << name;
  }
  EXPECT_EQ(members.size(), 22u) << r->body;
  EXPECT_EQ(members.at("model_name"), "KORVAN-4");
  EXPECT_EQ(members.at("firmware_version"), "1.5.0");
  EXPECT_EQ(members.at("boot_count"), "1");
  EXPECT_EQ(members.at("ip"), "127.0.0.1");
  EXPECT_TRUE(std::regex_match(members.at("mac"), std::regex("([0-9A-F]{2}:){5}[0-9A-F]{2}")));
  // Identity is stable; the session is not.
  const auto again = status();
  EXPECT_EQ(again.at("serial_number"), members.at("serial_number"));
  EXPECT_EQ(again.at("session_id"), members.at("session_id"));
}

// Each archive is read twice: by libarchive and by GNU tar, which does not
// share a line of code with either the controller or the tool.
TEST_F(SimTest, EveryConfigurationArchiveHoldsFileAndStatus) {
  start();
  TempDir dir;
  const bool gnu_tar = have_program("tar");
  for (const ConfigName& config : config_names()) {
    SCOPED_TRACE(config.name);
    auto r = get(std::string("/api/v100/backup.ssi?config=") + config.name);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    const Bytes body = bytes_of(r->body);
    EXPECT_EQ(body, sim_->backup_archive(config.name));
    EXPECT_EQ(body.size() % 512, 0u);
    const auto members = unpack(body);
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(members[0].name, config.path);
    EXPECT_EQ(members[0].data, sim_->config_file(config.name));
    EXPECT_EQ(members[1].name, "status.txt");
    const auto status = json_members(text_of(members[1].data));
    EXPECT_EQ(status.at("model_name"), "KORVAN-4");
    EXPECT_EQ(status.at("firmware_version"), "2.2.4");
    EXPECT_FALSE(status.at("serial_number").empty());
    EXPECT_FALSE(status.at("mac").empty());
    if (!gnu_tar) continue;
    write_file(dir.file("a.tar"), body);
    std::string listing = output_of("tar -tvf " + dir.file("a.tar") + " 2>/dev/null");
    EXPECT_TRUE(
        std::regex_search(listing, std::regex(" " + std::to_string(members[0].data.size()) + " .*" +
                                              (config.path + 1) + "\n.*status\\.txt")))
        << listing;
  }
  for (const char* target :
       {"/api/v100/backup.ssi?config=dali5", "/api/v100/backup.ssi?config=", "/api/v100/backup.ssi",
        "/api/v100/backup.ssi?config=DALI1", "/api/v100/nothing.ssi"}) {
    auto r = get(target);
    ASSERT_TRUE(r) << target;
    EXPECT_EQ(r->status, 404) << target;
    EXPECT_TRUE(contains(r->body, "<html>")) << target;
  }
  EXPECT_TRUE(sim_->backup_archive("dali5").empty());
}

// Restores against a controller on firmware 1.3.1, which takes gear layouts
// up to version 2.
TEST_F(SimTest, RestoreAppliesOnlySoundMembers) {
  start("1.3.1");
  EXPECT_TRUE(contains(command("action=restoreconfig"), "nothing has been uploaded"));
  ASSERT_EQ(events_of(*sim_, "restore").size(), 1u);
  EXPECT_FALSE(events_of(*sim_, "restore")[0].ok);

  const ConfigName& dali1 = *find_config_by_name("dali1");
  Bytes good = make_config_file(dali1, "1.3.1");
  good[60 + 106] = 'X';            // first letter of the first gear name (layout 2)
  store_u32(good.data() + 12, 3);  // converted three times
  seal_config_header(good, load_u32(good.data() + 8));
  Bytes bad_crc = good;
  bad_crc[200] ^= 0x40;
  Bytes bad_length = good;
  store_u32(bad_length.data(), 7072);
  const Bytes rlc = bytes_of("new rule set"), rlc2 = bytes_of("second rule set");
  const std::string rlc_path = "/etc/config/rlc/rlc.bin";
  const std::string not_path = "not a configuration path", dali2 = "/etc/config/dali/dali2.bin";
  auto tar = [](const char* path, const Bytes& data) { return archive_pack({{path, data, 0}}); };

  struct Case {
    const char* what;
    Bytes upload;
    std::vector<std::string> applied;  // member paths
    std::vector<std::string> refused;  // expected words in the refusal
    std::string applied_line = {};     // the whole event and reply line of the first applied member
  } cases[] = {
      {"gear file",
       tar(dali1.path, good),
       {dali1.path},
       {},
       "applied /etc/config/dali/dali1.bin (layout 2, conversion counter 3)"},
      {"older layout",
       tar(dali1.path, make_config_file(dali1, "1.0.0")),
       {dali1.path},
       {},
       "applied /etc/config/dali/dali1.bin (layout 1, conversion counter 0)"},
      {"opaque file", tar(rlc_path.c_str(), rlc), {rlc_path}, {}, "applied " + rlc_path},
      {"bad crc", tar(dali1.path, bad_crc), {}, {"checksum"}},
      {"wrong length", tar(dali1.path, bad_length), {}, {"length field"}},
      {"newer layout", tar(dali1.path, make_config_file(dali1, "2.2.4")), {}, {"newer"}},
      {"path without slash", tar("etc/config/dali/dali1.bin", good), {}, {not_path}},
      {"unknown path", tar("/etc/passwd", rlc), {}, {not_path}},
      {"gear file as cd1", tar("/etc/config/dali/cd1.bin", good), {}, {"layout version 2 needs"}},
      {"mixed",
       archive_pack({{dali1.path, bad_crc, 0}, {rlc_path, rlc2, 0}}),
       {rlc_path},
       {"checksum"}},
      {"backup as fetched", sim_->backup_archive("dali2"), {dali2}, {"status.txt"}},
      {"not a tar", bytes_of(std::string(3000, 'x')), {}, {"not a tar archive"}},
      {"firmware image", make_image("KORVAN-4", "3.0.0"), {}, {"not a tar archive"}},
      {"end marker only", Bytes(1024, 0), {}, {"refused"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
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
        EXPECT_EQ(unpack(sim_->backup_archive(find_config_by_path(m.name)->name)).at(0).data,
                  m.data);
        EXPECT_TRUE(contains(reply, "applied " + m.name)) << reply;
        before.erase(m.name);
      }
    if (!c.applied_line.empty()) {
      EXPECT_EQ(restores.at(0).detail, c.applied_line);
      EXPECT_TRUE(contains(reply, "\n" + c.applied_line + "\n")) << reply;
    }
    for (const std::string& word : c.refused) {
      bool found = false;
      for (const SimEvent& e : restores) found |= !e.ok && contains(e.detail, word);
      EXPECT_TRUE(found) << word << " not among the refusals; reply: " << reply;
    }
    // Nothing else moved.
    for (const auto& [path, bytes] : before)
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
  const Bytes korvan8 = make_image("KORVAN-8", "2.3.0"), lower = make_image("korvan-4", "2.3.0");
  const std::string hash = firmware_digest_hex(image), size = std::to_string(image.size());
  std::string upper = query(other);
  for (size_t i = 5; i < 69; ++i) upper[i] = static_cast<char>(std::toupper(upper[i]));
  struct Case {
    const char* what;
    Bytes upload;
    std::string query;
    std::string outcome;  // in the event's detail: a refusal's word or "installed VERSION"
  } cases[] = {
      {"wrong size", image, "hash=" + hash + "&size=" + std::to_string(image.size() - 1), "size"},
      {"wrong hash", image, "hash=" + std::string(64, '0') + "&size=" + size, "hash"},
      {"short hash", image, "hash=abc&size=" + size, "64 hexadecimal"},
      {"size not a number", image, "hash=" + hash + "&size=12x", "decimal"},
      {"no parameters", image, "", "hash"},
      {"wrong model", korvan8, query(korvan8), "model"},
      {"model in lower case", lower, query(lower), "model"},
      {"too short for the block", Bytes(1000, 1), query(Bytes(1000, 1)), "too short"},
      {"matching image", image, query(image), "installed 2.3.0"},
      {"upper-case hash", other, upper, "installed 2.4.1"},
  };
  std::string version = "1.3.1";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim_->clear_events();
    sim_->receive_upload("flashraw.bin", c.upload);
    EXPECT_FALSE(command("action=firmwareupgrade&" + c.query).empty());
    const auto upgrades = events_of(*sim_, "upgrade");
    ASSERT_EQ(upgrades.size(), 1u);
    const bool installs = c.outcome.rfind("installed ", 0) == 0;
    if (installs) version = c.outcome.substr(10);
    EXPECT_EQ(upgrades[0].ok, installs) << upgrades[0].detail;
    EXPECT_TRUE(contains(upgrades[0].detail, c.outcome)) << upgrades[0].detail;
    EXPECT_EQ(sim_->firmware_version(), version);
    EXPECT_EQ(status()["firmware_version"], version);
  }
  // Layout 3, refused on 1.3.1, is now taken, and the archives tell the new version.
  const Bytes v3 = make_config_file(*find_config_by_name("dali1"), "2.2.4");
  sim_->receive_upload("flashraw.bin", archive_pack({{"/etc/config/dali/dali1.bin", v3, 0}}));
  command("action=restoreconfig");
  EXPECT_EQ(sim_->config_file("dali1"), v3);
  const auto members = unpack(sim_->backup_archive("dali1"));
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(json_members(text_of(members[1].data)).at("firmware_version"), "2.4.1");
}

// Each fault, switched on at run time, as a client sees it on the wire.
TEST_F(SimTest, HttpFaultsShowOnTheWire) {
  start();
  const std::string status = "/api/v100/status.ssi", backup = "/api/v100/backup.ssi?config=dali1";
  const std::string ok = "HTTP/1.1 200";
  using Check = std::function<void(const RawReply&, const std::string& body)>;
  const Check html = [](auto&, auto& body) { EXPECT_TRUE(contains(body, "<html>")) << body; };
  const Check cut = [](auto& r, auto& body) {  // some of the body, not all it announced
    EXPECT_TRUE(!body.empty() && r.content_length() > static_cast<long>(body.size()));
  };
  struct Case {
    const char* fault;
    std::string target;
    std::string head;  // the reply starts so; "": no reply at all
    int tar;           // libarchive opens the body: 1 yes, 0 no, -1 not asked
    Check check;
  } cases[] = {
      {"status-404", status, "HTTP/1.1 404", 0, html},
      {"status-empty", status, ok, 0,
       [](auto& r, auto& body) {
         EXPECT_EQ(r.content_length(), 0);
         EXPECT_EQ(body, "");
       }},
      {"status-no-model", status, ok, 0,
       [](auto&, auto& body) {
         const auto members = json_members(body);
         EXPECT_EQ(members.count("model_name"), 0u);
         EXPECT_EQ(members.at("firmware_version"), "2.2.4");
         EXPECT_EQ(members.size(), 21u);
       }},
      {"http-close", status, "", 0, nullptr},
      {"http-close", backup, "", 0, nullptr},
      {"http-truncate", status, ok, 0, cut},
      {"http-truncate", backup, ok, -1, cut},
      {"http-delay=200", status, ok, 0, nullptr},
      {"backup-not-tar", backup, ok, 0, html},
      {"backup-no-status", backup, ok, 1,
       [](auto&, auto& body) {
         const auto members = unpack(bytes_of(body));
         ASSERT_EQ(members.size(), 1u);
         EXPECT_EQ(members[0].name, "/etc/config/dali/dali1.bin");
       }},
      // A well-formed field holding the wrong sum, not a damaged block.
      {"backup-bad-checksum", backup, ok, 0,
       [](auto&, auto& body) {
         ASSERT_GE(body.size(), 1024u);
         unsigned sum = 0;
         for (size_t i = 0; i < 512; ++i)
           sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(body[i]);
         EXPECT_NE(std::stoul(body.substr(148, 6), nullptr, 8), sum);
         EXPECT_EQ(body.substr(0, 26), "/etc/config/dali/dali1.bin");
       }},
      {"backup-huge-member", backup, ok, 0,
       [](auto&, auto& body) {
         ASSERT_GE(body.size(), 512 + 7168 + 512u);
         EXPECT_EQ(body.substr(512 + 7168, 10), "status.txt");
         EXPECT_EQ(body.substr(512 + 7168 + 124, 11), "10000000000");  // 1 GiB in octal
         EXPECT_LT(body.size(), 16384u);
       }},
      {"backup-huge-member=4294967295", backup, ok, 0,
       [](auto&, auto& body) { EXPECT_EQ(body.substr(512 + 7168 + 124, 11), "37777777777"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fault) + " " + c.target);
    sim_->clear_faults();
    ASSERT_TRUE(sim_->set_fault(c.fault));
    const RawReply r = raw_get(sim_->port(), c.target);
    EXPECT_EQ(r.bytes.substr(0, c.head.size()), c.head) << r.bytes;
    EXPECT_EQ(r.bytes.empty(), c.head.empty());
    std::vector<ArchiveMember> members;
    if (c.tar >= 0) {
      EXPECT_EQ(archive_unpack(bytes_of(r.body()), members, nullptr), c.tar == 1);
    }
    if (c.check) c.check(r, r.body());
  }
  sim_->clear_faults();
  const RawReply normal = raw_get(sim_->port(), status);
  EXPECT_EQ(json_members(normal.body()).at("model_name"), "KORVAN-4");
  EXPECT_EQ(normal.content_length(), static_cast<long>(normal.body().size()));
}

// Faults given at start, refused names, and a reply held back that does not
// hold up stop, which takes the private state folder along.
TEST_F(SimTest, FaultsFromOptionsRefusedNamesAndStopWhileDelayed) {
  start("2.2.4", {"status-no-model", "http-delay=1", "tftp-drop=4", "backup-no-status"});
  EXPECT_EQ(status().count("model_name"), 0u);
  EXPECT_EQ(unpack(bytes_of(get("/api/v100/backup.ssi?config=rlc")->body)).size(), 1u);
  EXPECT_FALSE(sim_->set_fault("no-such-fault"));
  EXPECT_FALSE(sim_->set_fault("tftp-drop"));

  const std::string dir = sim_->state_dir();
  ASSERT_TRUE(std::filesystem::is_directory(dir));
  ASSERT_TRUE(sim_->set_fault("http-delay=120000"));
  sim_->clear_events();
  std::thread client([port = sim_->port()] { raw_get(port, "/api/v100/status.ssi", 20); });
  eventually([&] { return !events_of(*sim_, "http").empty(); }, 10);
  const auto before = std::chrono::steady_clock::now();
  sim_->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
  client.join();
  EXPECT_FALSE(std::filesystem::exists(dir));

  SimOptions options;
  options.faults = {"status-no-model", "http-delay=soon"};
  Simulator bad(options);
  std::string error;
  EXPECT_FALSE(bad.start(&error));
  EXPECT_TRUE(contains(error, "http-delay=soon")) << error;
}

// The TFTP side with tftp-hpa, the client a technician has at hand.
TEST_F(SimTest, TftpUploadAndItsFaults) {
  if (!have_program("tftp")) GTEST_SKIP() << "tftp-hpa is not installed";
  start();
  TempDir dir;
  const Bytes payload = pattern(700);
  write_file(dir.file("up.bin"), payload);
  const std::string put = "printf 'mode octet\\nrexmt 1\\ntimeout 4\\nput " + dir.file("up.bin") +
                          " flashraw.bin\\nquit\\n' | timeout 20 tftp 127.0.0.1 " +
                          std::to_string(sim_->port()) + " >/dev/null 2>&1";
  struct Case {
    const char* fault;  // "" for none
    bool completes;
    const char* fault_word;  // in a tftp-fault event
  } cases[] = {{"", true, nullptr},
               {"tftp-drop=2", true, "dropped"},
               {"tftp-error", false, "error"},
               {"tftp-stall=1", false, "stalled"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    sim_->clear_faults();
    sim_->clear_events();
    ASSERT_TRUE(!*c.fault || sim_->set_fault(c.fault));
    run_command(put);
    const auto uploads = events_of(*sim_, "upload");
    ASSERT_EQ(uploads.size(), c.completes ? 1u : 0u);
    if (c.completes) {
      EXPECT_EQ(uploads[0].data, payload);
      EXPECT_EQ(uploads[0].detail, "flashraw.bin 700 bytes");
    }
    if (c.fault_word) {
      bool seen = false;
      for (const SimEvent& e : events_of(*sim_, "tftp-fault"))
        seen |= contains(e.detail, c.fault_word);
      EXPECT_TRUE(seen) << c.fault;
    }
  }
  // The stalled write began to replace the upload, so nothing is left to restore.
  EXPECT_TRUE(contains(command("action=restoreconfig"), "nothing has been uploaded"));
}

}  // namespace
}  // namespace korvan
