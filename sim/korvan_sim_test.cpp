#include "sim/korvan_sim.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <thread>

#include "sim/config_files.h"
#include "sim/firmware_maker.h"
#include "sim/sim_archive.h"
#include "test_support.h"

namespace korvan {
namespace {

using Bytes = std::vector<uint8_t>;
using torvi::test::have_program;
using torvi::test::run_command;
using torvi::test::TempDir;

Bytes bytes_of(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

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
  bool connected = false;
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
RawReply raw_get(uint16_t port, const std::string& target, int timeout_ms = 5000) {
  RawReply reply;
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return reply;
  }
  reply.connected = true;
  const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
    ::close(fd);
    return reply;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char chunk[8192];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    reply.bytes.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  return reply;
}

// A raw firmware image with its information block, from the firmware maker.
Bytes make_image(const std::string& model, const std::string& version, size_t size = 0x1C0100) {
  FirmwareRecipe fw;
  fw.model = model;
  fw.version_string = version;
  fw.size = size;
  fw.raw = true;
  return make_firmware_image(fw);
}

std::vector<ArchiveMember> unpack(const Bytes& tar) {
  std::vector<ArchiveMember> members;
  std::string error;
  EXPECT_TRUE(archive_unpack(tar, members, &error)) << error;
  return members;
}

std::vector<SimEvent> events_of(const Simulator& sim, const std::string& kind) {
  std::vector<SimEvent> out;
  for (const SimEvent& e : sim.events())
    if (e.kind == kind) out.push_back(e);
  return out;
}

class SimTest : public ::testing::Test {
 protected:
  void start(SimOptions options = {}) {
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

  std::unique_ptr<Simulator> sim_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(SimTest, StatusDocumentHasAllMembersAsStrings) {
  SimOptions options;
  options.firmware = "1.5.0";
  start(options);
  auto r = get("/api/v100/status.ssi");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  const auto members = json_members(r->body);
  static const char* kNames[] = {"model_name",
                                 "firmware_version",
                                 "build_date",
                                 "license",
                                 "license_number",
                                 "hostname",
                                 "serial_number",
                                 "mac",
                                 "rtc_temperature",
                                 "ram_memory",
                                 "flash_memory",
                                 "boot_count",
                                 "time",
                                 "uptime",
                                 "dali_channel_1",
                                 "dali_channel_2",
                                 "dali_channel_3",
                                 "dali_channel_4",
                                 "ip",
                                 "bacnet_ip",
                                 "session_id",
                                 "username"};
  for (const char* name : kNames) {
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
  const auto again = json_members(get("/api/v100/status.ssi")->body);
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
    const auto status = json_members(std::string(members[1].data.begin(), members[1].data.end()));
    EXPECT_EQ(status.at("model_name"), "KORVAN-4");
    EXPECT_EQ(status.at("firmware_version"), "2.2.4");
    EXPECT_FALSE(status.at("serial_number").empty());
    EXPECT_FALSE(status.at("mac").empty());
    if (!gnu_tar) continue;
    torvi::test::write_file(dir.file("a.tar"), body);
    std::string listing;
    ASSERT_EQ(run_command("tar -tvf " + dir.file("a.tar") + " 2>/dev/null", &listing), 0);
    EXPECT_TRUE(
        std::regex_search(listing, std::regex(" " + std::to_string(members[0].data.size()) + " .*" +
                                              (config.path + 1) + "\n.*status\\.txt")))
        << listing;
  }
}

TEST_F(SimTest, UnknownConfigurationGetsHtml404) {
  start();
  for (const char* target :
       {"/api/v100/backup.ssi?config=dali5", "/api/v100/backup.ssi?config=", "/api/v100/backup.ssi",
        "/api/v100/backup.ssi?config=DALI1", "/api/v100/nothing.ssi"}) {
    auto r = get(target);
    ASSERT_TRUE(r) << target;
    EXPECT_EQ(r->status, 404) << target;
    EXPECT_NE(r->body.find("<html>"), std::string::npos) << target;
  }
  EXPECT_TRUE(sim_->backup_archive("dali5").empty());
}

// Restores against a controller on firmware 1.3.1, which takes gear layouts
// up to version 2.
TEST_F(SimTest, RestoreAppliesOnlySoundMembers) {
  SimOptions options;
  options.firmware = "1.3.1";
  start(options);
  const ConfigName& dali1 = *find_config_by_name("dali1");
  auto edited = [&](const char* firmware, std::function<void(Bytes&)> edit) {
    Bytes f = make_config_file(dali1, firmware);
    f[60 + 106] = 'X';  // first letter of the first gear name (layout 2)
    seal_config_header(f, load_u32(f.data() + 8));
    edit(f);
    return f;
  };
  const Bytes good = edited("1.3.1", [](Bytes&) {});
  Bytes bad_crc = good;
  bad_crc[200] ^= 0x40;
  Bytes bad_length = good;
  store_u32(bad_length.data(), 7072);
  const Bytes older = make_config_file(dali1, "1.0.0");
  const Bytes newer = make_config_file(dali1, "2.2.4");
  const Bytes rlc = bytes_of("new rule set");
  const Bytes rlc2 = bytes_of("second rule set");

  struct Case {
    const char* what;
    Bytes upload;
    std::vector<std::string> applied;  // member paths
    std::vector<std::string> refused;  // expected words in the refusal
  } cases[] = {
      {"gear file", archive_pack({{dali1.path, good, 0}}), {dali1.path}, {}},
      {"older layout", archive_pack({{dali1.path, older, 0}}), {dali1.path}, {}},
      {"opaque file",
       archive_pack({{"/etc/config/rlc/rlc.bin", rlc, 0}}),
       {"/etc/config/rlc/rlc.bin"},
       {}},
      {"bad crc", archive_pack({{dali1.path, bad_crc, 0}}), {}, {"checksum"}},
      {"wrong length", archive_pack({{dali1.path, bad_length, 0}}), {}, {"length field"}},
      {"newer layout", archive_pack({{dali1.path, newer, 0}}), {}, {"newer"}},
      {"path without slash",
       archive_pack({{"etc/config/dali/dali1.bin", good, 0}}),
       {},
       {"not a configuration path"}},
      {"unknown path", archive_pack({{"/etc/passwd", rlc, 0}}), {}, {"not a configuration path"}},
      {"gear file under device path",
       archive_pack({{"/etc/config/dali/cd1.bin", good, 0}}),
       {},
       {"layout version 2 needs"}},
      {"mixed",
       archive_pack({{dali1.path, bad_crc, 0}, {"/etc/config/rlc/rlc.bin", rlc2, 0}}),
       {"/etc/config/rlc/rlc.bin"},
       {"checksum"}},
      {"backup as fetched",
       sim_->backup_archive("dali2"),
       {"/etc/config/dali/dali2.bin"},
       {"status.txt"}},
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
    for (const std::string& path : c.applied) {
      const ConfigName* config = find_config_by_path(path);
      const auto members = unpack(sim_->backup_archive(config->name));
      ASSERT_FALSE(members.empty());
      for (const ArchiveMember& m : uploaded) {
        if (m.name == path) {
          EXPECT_EQ(members[0].data, m.data) << path << " not restored";
        }
      }
      EXPECT_NE(reply.find("applied " + path), std::string::npos) << reply;
      before.erase(path);
    }
    for (const std::string& word : c.refused) {
      bool found = false;
      for (const SimEvent& e : restores) found |= !e.ok && e.detail.find(word) != std::string::npos;
      EXPECT_TRUE(found) << word << " not among the refusals; reply: " << reply;
    }
    // Nothing else moved.
    for (const auto& [path, bytes] : before)
      EXPECT_EQ(sim_->config_file(find_config_by_path(path)->name), bytes) << path;
  }
}

TEST_F(SimTest, RestoreWithoutUploadIsRefused) {
  start();
  const std::string reply = command("action=restoreconfig");
  EXPECT_NE(reply.find("nothing has been uploaded"), std::string::npos) << reply;
  const auto restores = events_of(*sim_, "restore");
  ASSERT_EQ(restores.size(), 1u);
  EXPECT_FALSE(restores[0].ok);
}

TEST_F(SimTest, PrivateStateFolderGoesWithStop) {
  start();
  const std::string dir = sim_->state_dir();
  ASSERT_TRUE(std::filesystem::is_directory(dir));
  sim_->stop();
  EXPECT_FALSE(std::filesystem::exists(dir));
}

TEST_F(SimTest, UpgradeInstallsOnlyTheMatchingImage) {
  start();
  const Bytes image = make_image("KORVAN-4", "2.3.0");
  const std::string hash = firmware_digest_hex(image);
  const std::string size = std::to_string(image.size());
  const Bytes other = make_image("KORVAN-4", "2.4.1");
  std::string upper = firmware_digest_hex(other);
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  struct Case {
    const char* what;
    Bytes upload;
    std::string query;
    const char* reason;  // nullptr: installed
    const char* version_after;
  } cases[] = {
      {"wrong size", image, "hash=" + hash + "&size=" + std::to_string(image.size() - 1), "size",
       "2.2.4"},
      {"wrong hash", image, "hash=" + std::string(64, '0') + "&size=" + size, "hash", "2.2.4"},
      {"short hash", image, "hash=abc&size=" + size, "64 hexadecimal", "2.2.4"},
      {"size not a number", image, "hash=" + hash + "&size=12x", "decimal", "2.2.4"},
      {"no parameters", image, "", "hash", "2.2.4"},
      {"wrong model", make_image("KORVAN-8", "2.3.0"),
       "hash=" + firmware_digest_hex(make_image("KORVAN-8", "2.3.0")) + "&size=" + size, "model",
       "2.2.4"},
      {"model in lower case", make_image("korvan-4", "2.3.0"),
       "hash=" + firmware_digest_hex(make_image("korvan-4", "2.3.0")) + "&size=" + size, "model",
       "2.2.4"},
      {"too short for the block", Bytes(1000, 1),
       "hash=" + firmware_digest_hex(Bytes(1000, 1)) + "&size=1000", "too short", "2.2.4"},
      {"matching image", image, "hash=" + hash + "&size=" + size, nullptr, "2.3.0"},
      {"upper-case hash", other, "hash=" + upper + "&size=" + size, nullptr, "2.4.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim_->clear_events();
    sim_->receive_upload("flashraw.bin", c.upload);
    const std::string reply = command("action=firmwareupgrade&" + c.query);
    const auto upgrades = events_of(*sim_, "upgrade");
    ASSERT_EQ(upgrades.size(), 1u);
    EXPECT_EQ(upgrades[0].ok, c.reason == nullptr) << upgrades[0].detail;
    if (c.reason) {
      EXPECT_NE(upgrades[0].detail.find(c.reason), std::string::npos) << upgrades[0].detail;
    }
    EXPECT_FALSE(reply.empty());
    EXPECT_EQ(sim_->firmware_version(), c.version_after);
    EXPECT_EQ(json_members(get("/api/v100/status.ssi")->body)["firmware_version"], c.version_after);
  }
}

TEST_F(SimTest, UpgradedFirmwareGovernsRestoreAndArchives) {
  SimOptions options;
  options.firmware = "1.3.1";
  start(options);
  const Bytes image = make_image("KORVAN-4", "2.2.4");
  sim_->receive_upload("flashraw.bin", image);
  command("action=firmwareupgrade&hash=" + firmware_digest_hex(image) +
          "&size=" + std::to_string(image.size()));
  ASSERT_EQ(sim_->firmware_version(), "2.2.4");
  const Bytes v3 = make_config_file(*find_config_by_name("dali1"), "2.2.4");
  sim_->receive_upload("flashraw.bin", archive_pack({{"/etc/config/dali/dali1.bin", v3, 0}}));
  command("action=restoreconfig");
  EXPECT_EQ(sim_->config_file("dali1"), v3);
  const auto members = unpack(sim_->backup_archive("dali1"));
  const auto status = json_members(std::string(members[1].data.begin(), members[1].data.end()));
  EXPECT_EQ(status.at("firmware_version"), "2.2.4");
}

// Each fault, switched on at run time, as a client sees it on the wire.
TEST_F(SimTest, HttpFaultsShowOnTheWire) {
  start();
  const std::string status = "/api/v100/status.ssi";
  const std::string backup = "/api/v100/backup.ssi?config=dali1";
  auto ok_status = [](const RawReply& r) {
    EXPECT_EQ(r.bytes.rfind("HTTP/1.1 200", 0), 0u) << r.bytes;
  };
  auto archive = [](const RawReply& r) {
    std::vector<ArchiveMember> members;
    std::string error;
    bool unpacked = archive_unpack(bytes_of(r.body()), members, &error);
    return std::make_pair(unpacked, members);
  };
  struct Case {
    const char* fault;
    std::string target;
    std::function<void(const RawReply&)> check;
  } cases[] = {
      {"status-404", status,
       [](const RawReply& r) {
         EXPECT_EQ(r.bytes.rfind("HTTP/1.1 404", 0), 0u) << r.bytes;
         EXPECT_NE(r.body().find("<html>"), std::string::npos);
       }},
      {"status-empty", status,
       [&](const RawReply& r) {
         ok_status(r);
         EXPECT_EQ(r.content_length(), 0);
         EXPECT_EQ(r.body(), "");
       }},
      {"status-no-model", status,
       [&](const RawReply& r) {
         ok_status(r);
         const auto members = json_members(r.body());
         EXPECT_EQ(members.count("model_name"), 0u);
         EXPECT_EQ(members.at("firmware_version"), "2.2.4");
         EXPECT_EQ(members.size(), 21u);
       }},
      {"http-close", status, [](const RawReply& r) { EXPECT_EQ(r.bytes, ""); }},
      {"http-close", backup, [](const RawReply& r) { EXPECT_EQ(r.bytes, ""); }},
      {"http-truncate", status,
       [&](const RawReply& r) {
         ok_status(r);
         EXPECT_FALSE(r.body().empty());
         EXPECT_GT(r.content_length(), static_cast<long>(r.body().size()));
       }},
      {"http-truncate", backup,
       [&](const RawReply& r) {
         ok_status(r);
         EXPECT_GT(r.content_length(), static_cast<long>(r.body().size()));
       }},
      {"http-delay=200", status, ok_status},
      {"backup-not-tar", backup,
       [&](const RawReply& r) {
         ok_status(r);
         EXPECT_NE(r.body().find("<html>"), std::string::npos);
         EXPECT_FALSE(archive(r).first);
       }},
      {"backup-no-status", backup,
       [&](const RawReply& r) {
         auto [unpacked, members] = archive(r);
         ASSERT_TRUE(unpacked);
         ASSERT_EQ(members.size(), 1u);
         EXPECT_EQ(members[0].name, "/etc/config/dali/dali1.bin");
       }},
      {"backup-bad-checksum", backup,
       [&](const RawReply& r) {
         ASSERT_GE(r.body().size(), 1024u);
         EXPECT_FALSE(archive(r).first);
         // A well-formed field holding the wrong sum, not a damaged block.
         const std::string body = r.body();
         unsigned sum = 0;
         for (size_t i = 0; i < 512; ++i)
           sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(body[i]);
         const unsigned stored = static_cast<unsigned>(std::stoul(body.substr(148, 6), nullptr, 8));
         EXPECT_NE(stored, sum);
         EXPECT_EQ(body.substr(0, 26), "/etc/config/dali/dali1.bin");
       }},
      {"backup-huge-member", backup,
       [&](const RawReply& r) {
         const std::string body = r.body();
         ASSERT_GE(body.size(), 512 + 7168 + 512u);
         EXPECT_EQ(body.substr(512 + 7168, 10), "status.txt");
         EXPECT_EQ(body.substr(512 + 7168 + 124, 11), "10000000000");  // 1 GiB in octal
         EXPECT_LT(body.size(), 16384u);
         EXPECT_FALSE(archive(r).first);
       }},
      {"backup-huge-member=4294967295", backup,
       [&](const RawReply& r) { EXPECT_EQ(r.body().substr(512 + 7168 + 124, 11), "37777777777"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fault) + " " + c.target);
    sim_->clear_faults();
    ASSERT_TRUE(sim_->set_fault(c.fault));
    c.check(raw_get(sim_->port(), c.target));
  }
  sim_->clear_faults();
  const RawReply normal = raw_get(sim_->port(), status);
  EXPECT_EQ(json_members(normal.body()).at("model_name"), "KORVAN-4");
  EXPECT_EQ(normal.content_length(), static_cast<long>(normal.body().size()));
}

TEST_F(SimTest, DelayedReplyDoesNotHoldUpStop) {
  start();
  ASSERT_TRUE(sim_->set_fault("http-delay=120000"));
  std::thread client([port = sim_->port()] { raw_get(port, "/api/v100/status.ssi", 20000); });
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (events_of(*sim_, "http").empty() && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const auto before = std::chrono::steady_clock::now();
  sim_->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
  client.join();
}

TEST_F(SimTest, FaultsFromOptionsAndRefusedNames) {
  SimOptions options;
  options.faults = {"status-no-model", "http-delay=1", "tftp-drop=4", "backup-no-status"};
  start(options);
  EXPECT_EQ(json_members(get("/api/v100/status.ssi")->body).count("model_name"), 0u);
  EXPECT_EQ(unpack(bytes_of(get("/api/v100/backup.ssi?config=rlc")->body)).size(), 1u);
  EXPECT_FALSE(sim_->set_fault("no-such-fault"));
  EXPECT_FALSE(sim_->set_fault("tftp-drop"));
  sim_->stop();

  options.faults = {"status-no-model", "http-delay=soon"};
  Simulator bad(options);
  std::string error;
  EXPECT_FALSE(bad.start(&error));
  EXPECT_NE(error.find("http-delay=soon"), std::string::npos) << error;
}

// The TFTP side with tftp-hpa, the client a technician has at hand.
TEST_F(SimTest, TftpUploadAndItsFaults) {
  if (!have_program("tftp")) GTEST_SKIP() << "tftp-hpa is not installed";
  start();
  TempDir dir;
  Bytes payload(700);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
  torvi::test::write_file(dir.file("up.bin"), payload);
  const std::string put = "printf 'mode octet\\nrexmt 1\\ntimeout 4\\nput " + dir.file("up.bin") +
                          " flashraw.bin\\nquit\\n' | timeout 20 tftp 127.0.0.1 " +
                          std::to_string(sim_->port()) + " >/dev/null 2>&1";
  struct Case {
    const char* fault;  // "" for none
    bool completes;
    const char* fault_word;  // in a tftp-fault event
  } cases[] = {
      {"", true, nullptr},
      {"tftp-drop=2", true, "dropped"},
      {"tftp-error", false, "error"},
      {"tftp-stall=1", false, "stalled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    sim_->clear_faults();
    sim_->clear_events();
    if (*c.fault) {
      ASSERT_TRUE(sim_->set_fault(c.fault));
    }
    run_command(put);
    const auto uploads = events_of(*sim_, "upload");
    if (c.completes) {
      ASSERT_EQ(uploads.size(), 1u);
      EXPECT_EQ(uploads[0].data, payload);
      EXPECT_EQ(uploads[0].detail, "flashraw.bin 700 bytes");
    } else {
      EXPECT_TRUE(uploads.empty());
    }
    if (c.fault_word) {
      bool seen = false;
      for (const SimEvent& e : events_of(*sim_, "tftp-fault"))
        seen |= e.detail.find(c.fault_word) != std::string::npos;
      EXPECT_TRUE(seen) << c.fault;
    }
  }
  // The stalled write began to replace the upload, so nothing is left to restore.
  EXPECT_NE(command("action=restoreconfig").find("nothing has been uploaded"), std::string::npos);
}

}  // namespace
}  // namespace korvan
