#include "sim/tftp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <optional>

#include "gtest/gtest.h"
#include "test_support.h"

namespace korvan {
namespace {

using Bytes = std::vector<uint8_t>;
using torvi::test::have_program;
using torvi::test::run_command;
using torvi::test::TempDir;
using torvi::test::write_file;

Bytes pattern(size_t size, uint32_t seed = 1) {
  Bytes bytes(size);
  for (auto& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return bytes;
}

// A server on a free loopback port that records what it receives.
class TftpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.set_upload_handler([this](const std::string& name, Bytes data) {
      std::lock_guard<std::mutex> lock(mutex_);
      uploads_.emplace_back(name, std::move(data));
      changed_.notify_all();
    });
    server_.set_event_handler([this](const std::string& kind, const std::string&, bool) {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(kind);
      changed_.notify_all();
    });
    std::string error;
    ASSERT_TRUE(server_.start("127.0.0.1", 0, &error)) << error;
    port_ = std::to_string(server_.port());
  }

  // The handlers touch the members below, so the server ends first.
  void TearDown() override { server_.stop(); }

  std::optional<Bytes> wait_upload(int seconds = 10) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(seconds), [&] { return !uploads_.empty(); }))
      return std::nullopt;
    return uploads_.front().second;
  }

  bool wait_event(const std::string& kind, int seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(seconds), [&] {
      return std::find(events_.begin(), events_.end(), kind) != events_.end();
    });
  }

  void clear_uploads() {
    std::lock_guard<std::mutex> lock(mutex_);
    uploads_.clear();
  }

  size_t upload_count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return uploads_.size();
  }

  TftpServer server_;
  std::string port_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<std::string, Bytes>> uploads_;
  std::vector<std::string> events_;
};

// ---- real clients ----

struct Client {
  const char* program;
  const char* command;  // %F file, %R remote name, %P port
};

const Client kTftpHpa{"tftp", "tftp -m binary 127.0.0.1 %P -c put %F %R"};
const Client kTftpHpaVerbose{"tftp", "tftp -v -m binary 127.0.0.1 %P -c put %F %R"};
const Client kAtftp{"atftp",
                    "atftp --tftp-timeout 1 --option 'blksize 1428' --option 'tsize 0' -p -l %F "
                    "-r %R 127.0.0.1 %P"};
// tftp-hpa takes its retransmission interval only as a command, so this one
// reads its commands from a script written beside the file (%F.cmd).
const Client kTftpHpaScript{"tftp", "tftp 127.0.0.1 %P <%F.cmd"};
const Client kCurl{"curl", "curl -sS --max-time 20 -T %F tftp://127.0.0.1:%P/%R"};
const Client kCurlBlk{"curl",
                      "curl -sS --max-time 20 --tftp-blksize 1428 -T %F "
                      "tftp://127.0.0.1:%P/%R"};

std::string expand(const Client& client, const std::string& file, const std::string& remote,
                   const std::string& port) {
  std::string out = "timeout 30 ";
  for (const char* p = client.command; *p; ++p) {
    if (*p == '%' && p[1]) {
      ++p;
      out += *p == 'F' ? file : *p == 'R' ? remote : *p == 'P' ? port : std::string(1, *p);
    } else {
      out += *p;
    }
  }
  return out + " 2>&1";
}

// tftp-hpa exits 0 even when a put fails, so its complaints decide too.
bool client_failed(int status, const std::string& output) {
  return status != 0 || output.find("rror") != std::string::npos ||
         output.find("timed out") != std::string::npos;
}

TEST_F(TftpServerTest, RealClientsUploadEveryBoundarySize) {
  const Client clients[] = {kTftpHpa, kTftpHpaVerbose, kAtftp, kCurl, kCurlBlk};
  const size_t sizes[] = {0, 511, 512, 513, 1428, 1024 * 1024};
  TempDir dir;
  for (const Client& client : clients) {
    if (!have_program(client.program)) {
      GTEST_SKIP() << client.program << " is not installed (scripts/install-deps installs it)";
    }
    for (size_t size : sizes) {
      SCOPED_TRACE(std::string(client.command) + " size " + std::to_string(size));
      Bytes content = pattern(size, static_cast<uint32_t>(size + 7));
      write_file(dir.file("up.bin"), content);
      clear_uploads();
      std::string output;
      int status = run_command(expand(client, dir.file("up.bin"), kTftpUploadName, port_), &output);
      EXPECT_FALSE(client_failed(status, output)) << output;
      auto got = wait_upload();
      ASSERT_TRUE(got.has_value());
      EXPECT_TRUE(*got == content) << "got " << got->size() << " bytes";
      if (client.command == kTftpHpaVerbose.command && size > 0) {
        EXPECT_NE(output.find("Sent"), std::string::npos) << output;
      }
    }
  }
}

TEST_F(TftpServerTest, RealClientsMeetFaultsAndRefusals) {
  struct Case {
    const char* name;
    Client client;
    TftpFaults faults;
    const char* remote;
    bool completes;
  };
  const Case cases[] = {
      {"drop hpa", kTftpHpaScript, {false, 10, 0}, kTftpUploadName, true},
      {"drop atftp", kAtftp, {false, 4, 0}, kTftpUploadName, true},
      {"drop curl", kCurl, {false, 10, 0}, kTftpUploadName, true},
      {"error hpa", kTftpHpa, {true, 0, 0}, kTftpUploadName, false},
      {"error atftp", kAtftp, {true, 0, 0}, kTftpUploadName, false},
      {"error curl", kCurl, {true, 0, 0}, kTftpUploadName, false},
      {"stall atftp", kAtftp, {false, 0, 2}, kTftpUploadName, false},
      {"stall curl",
       {"curl", "curl -sS --max-time 5 -T %F tftp://127.0.0.1:%P/%R"},
       {false, 0, 2},
       kTftpUploadName,
       false},
      {"name hpa", kTftpHpa, {}, "other.bin", false},
      {"name curl", kCurl, {}, "FLASHRAW.BIN", false},
      {"netascii hpa", {"tftp", "tftp 127.0.0.1 %P -c put %F %R"}, {}, kTftpUploadName, false},
  };
  TempDir dir;
  Bytes content = pattern(6000);
  write_file(dir.file("up.bin"), content);
  write_file(dir.file("up.bin.cmd"),
             "mode octet\nrexmt 3\nput " + dir.file("up.bin") + " flashraw.bin\nquit\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!have_program(c.client.program)) {
      GTEST_SKIP() << c.client.program << " is not installed (scripts/install-deps installs it)";
    }
    clear_uploads();
    server_.set_faults(c.faults);
    std::string output;
    int status = run_command(expand(c.client, dir.file("up.bin"), c.remote, port_), &output);
    EXPECT_EQ(client_failed(status, output), !c.completes) << output;
    if (c.completes) {
      auto got = wait_upload();
      ASSERT_TRUE(got.has_value());
      EXPECT_TRUE(*got == content);
    } else {
      EXPECT_EQ(upload_count(), 0u);
    }
  }
}

// ---- packet level, with a socket of our own ----

class RawPeer {
 public:
  RawPeer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
  }
  ~RawPeer() { ::close(fd_); }

  void send(uint16_t port, const Bytes& packet) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    ::sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }

  // The next datagram and the port it came from; nothing after timeout_ms.
  std::optional<Bytes> receive(int timeout_ms, uint16_t* from_port = nullptr) {
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, timeout_ms) <= 0) return std::nullopt;
    Bytes buffer(65536);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n =
        ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    buffer.resize(static_cast<size_t>(n));
    if (from_port) *from_port = ntohs(from.sin_port);
    return buffer;
  }

 private:
  int fd_ = -1;
};

Bytes request(uint16_t opcode, const std::vector<std::string>& fields) {
  Bytes packet{static_cast<uint8_t>(opcode >> 8), static_cast<uint8_t>(opcode)};
  for (const auto& f : fields) {
    packet.insert(packet.end(), f.begin(), f.end());
    packet.push_back(0);
  }
  return packet;
}

Bytes data_packet(uint16_t block, const Bytes& payload) {
  Bytes packet(4 + payload.size());
  packet[1] = 3;
  packet[2] = static_cast<uint8_t>(block >> 8);
  packet[3] = static_cast<uint8_t>(block);
  std::copy(payload.begin(), payload.end(), packet.begin() + 4);
  return packet;
}

Bytes ack(uint16_t block) {
  return {0, 4, static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block)};
}

Bytes error_packet(uint16_t code) {
  return {0, 5, 0, static_cast<uint8_t>(code)};
}

bool is_error(const std::optional<Bytes>& p, uint16_t code) {
  return p && p->size() >= 5 && (*p)[1] == 5 && (*p)[3] == code && p->back() == 0;
}

// The first answer to a packet sent to the server's own port.
TEST_F(TftpServerTest, RequestsAreAnsweredByOptionsOrFittingErrors) {
  struct Case {
    const char* name;
    Bytes packet;
    Bytes reply;  // an ERROR reply is compared by its code only
    TftpFaults faults;
  };
  auto wrq = [](std::vector<std::string> options, std::string mode = "octet",
                std::string name = "flashraw.bin") {
    options.insert(options.begin(), {name, mode});
    return request(2, options);
  };
  auto oack = [](const std::vector<std::string>& fields) { return request(6, fields); };
  const Case cases[] = {
      {"no options", wrq({}), ack(0)},
      {"mode case", wrq({}, "OCTET"), ack(0)},
      {"all three", wrq({"blksize", "1428", "tsize", "100", "timeout", "3"}),
       oack({"blksize", "1428", "tsize", "100", "timeout", "3"})},
      {"blksize upper bound", wrq({"blksize", "70000"}), oack({"blksize", "65464"})},
      {"blksize lower bound", wrq({"BLKSIZE", "8"}), oack({"blksize", "8"})},
      {"blksize too small", wrq({"blksize", "7"}), ack(0)},
      {"blksize not a number", wrq({"blksize", "1k"}), ack(0)},
      {"timeout zero", wrq({"timeout", "0"}), ack(0)},
      {"timeout 256", wrq({"timeout", "256"}), ack(0)},
      {"unknown ignored", wrq({"windowsize", "4", "tsize", "0"}), oack({"tsize", "0"})},
      {"tsize too large", wrq({"tsize", "67108865"}), error_packet(3)},
      {"read request", request(1, {"flashraw.bin", "octet"}), error_packet(2)},
      {"other name", wrq({}, "octet", "backup.tar"), error_packet(2)},
      {"netascii", wrq({}, "netascii"), error_packet(4)},
      {"mail", wrq({}, "mail"), error_packet(4)},
      {"injected error", wrq({}), error_packet(0), {true, 0, 0}},
      {"unterminated name", Bytes{0, 2, 'f', 'l', 'a'}, error_packet(4)},
      {"empty name", wrq({}, "octet", ""), error_packet(4)},
      {"unknown opcode", Bytes{0, 9}, error_packet(4)},
      {"stray DATA", data_packet(1, pattern(10)), error_packet(5)},
      {"stray ACK", ack(1), error_packet(5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.set_faults(c.faults);
    RawPeer peer;
    peer.send(server_.port(), c.packet);
    auto reply = peer.receive(3000);
    ASSERT_TRUE(reply.has_value());
    if (c.reply[1] == 5) {
      EXPECT_TRUE(is_error(reply, c.reply[3]));
    } else {
      EXPECT_EQ(*reply, c.reply);
    }
  }
}

// Opens a transfer with the given options and returns the port it answers from.
uint16_t open_transfer(RawPeer& peer, uint16_t server_port, std::vector<std::string> options = {}) {
  std::vector<std::string> fields{"flashraw.bin", "octet"};
  fields.insert(fields.end(), options.begin(), options.end());
  peer.send(server_port, request(2, fields));
  uint16_t port = 0;
  auto reply = peer.receive(3000, &port);
  EXPECT_TRUE(reply && ((*reply)[1] == 4 || (*reply)[1] == 6));
  EXPECT_NE(port, server_port) << "a transfer must use a port of its own";
  return port;
}

TEST_F(TftpServerTest, DuplicateDataIsAcknowledgedAgainButStoredOnce) {
  RawPeer peer;
  uint16_t tid = open_transfer(peer, server_.port());
  Bytes first = pattern(512, 1), last = pattern(100, 2);
  for (int i = 0; i < 3; ++i) {
    peer.send(tid, data_packet(1, first));
    EXPECT_EQ(peer.receive(3000), ack(1));
  }
  peer.send(tid, data_packet(2, last));
  EXPECT_EQ(peer.receive(3000), ack(2));
  // The last block again, as if our final ACK had been lost.
  peer.send(tid, data_packet(2, last));
  EXPECT_EQ(peer.receive(3000), ack(2));
  auto got = wait_upload();
  ASSERT_TRUE(got.has_value());
  first.insert(first.end(), last.begin(), last.end());
  EXPECT_TRUE(*got == first);
  EXPECT_EQ(upload_count(), 1u);
}

TEST_F(TftpServerTest, StrangerIsToldOffWithoutDisturbingTheTransfer) {
  RawPeer peer, stranger;
  uint16_t tid = open_transfer(peer, server_.port());
  peer.send(tid, data_packet(1, pattern(512)));
  EXPECT_EQ(peer.receive(3000), ack(1));
  stranger.send(tid, data_packet(2, pattern(5, 9)));
  EXPECT_TRUE(is_error(stranger.receive(3000), 5));
  EXPECT_FALSE(peer.receive(200).has_value());
  peer.send(tid, data_packet(2, pattern(3, 4)));
  EXPECT_EQ(peer.receive(3000), ack(2));
  auto got = wait_upload();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->size(), 515u);
}

TEST_F(TftpServerTest, BlockSizeIsEnforcedAtItsBounds) {
  struct Case {
    std::string blksize;
    size_t sent;  // payload of block 1
    bool accepted;
  };
  const Case cases[] = {{"8", 8, true},          {"8", 9, false}, {"65464", 65464, true},
                        {"65464", 65465, false}, {"", 512, true}, {"", 513, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.blksize + "/" + std::to_string(c.sent));
    RawPeer peer;
    std::vector<std::string> options;
    if (!c.blksize.empty()) options = {"blksize", c.blksize};
    uint16_t tid = open_transfer(peer, server_.port(), options);
    peer.send(tid, data_packet(1, pattern(c.sent)));
    auto reply = peer.receive(3000);
    if (c.accepted) {
      EXPECT_EQ(reply, ack(1));
      peer.send(tid, error_packet(0));  // end it from our side
    } else {
      EXPECT_TRUE(is_error(reply, 4));
    }
  }
  EXPECT_EQ(upload_count(), 0u);
}

TEST_F(TftpServerTest, OversizedUploadIsRefusedMidway) {
  server_.set_max_upload(1000);
  RawPeer peer;
  uint16_t tid = open_transfer(peer, server_.port());
  peer.send(tid, data_packet(1, pattern(512)));
  EXPECT_EQ(peer.receive(3000), ack(1));
  peer.send(tid, data_packet(2, pattern(512)));
  EXPECT_TRUE(is_error(peer.receive(3000), 3));
  EXPECT_EQ(upload_count(), 0u);
}

TEST_F(TftpServerTest, SilentClientGetsRetransmissionsThenIsAbandoned) {
  RawPeer peer;
  uint16_t tid = open_transfer(peer, server_.port(), {"timeout", "1"});
  uint16_t from = 0;
  auto again = peer.receive(3000, &from);
  EXPECT_EQ(again, request(6, {"timeout", "1"}));
  EXPECT_EQ(from, tid);
  // Backing off 1 + 2 + 4 + 8 seconds before it gives up.
  EXPECT_TRUE(wait_event("tftp-error", 25));
  EXPECT_EQ(upload_count(), 0u);
}

TEST_F(TftpServerTest, BlockNumbersWrapPastTheLastOne) {
  // 65536 blocks of 8 bytes push the block number past 65535 to 0.
  RawPeer peer;
  uint16_t tid = open_transfer(peer, server_.port(), {"blksize", "8"});
  const size_t blocks = 65538;
  Bytes content = pattern(blocks * 8 + 3);
  for (size_t i = 0; i <= blocks; ++i) {
    size_t begin = i * 8, end = std::min(begin + 8, content.size());
    uint16_t block = static_cast<uint16_t>(i + 1);
    peer.send(tid, data_packet(block, Bytes(content.begin() + begin, content.begin() + end)));
    ASSERT_EQ(peer.receive(3000), ack(block)) << "block " << i + 1;
  }
  auto got = wait_upload();
  ASSERT_TRUE(got.has_value());
  EXPECT_TRUE(*got == content);
}

TEST_F(TftpServerTest, StopEndsRunningTransfersPromptly) {
  RawPeer a, b;
  uint16_t tid_a = open_transfer(a, server_.port(), {"timeout", "255"});
  open_transfer(b, server_.port());
  a.send(tid_a, data_packet(1, pattern(512)));
  EXPECT_EQ(a.receive(3000), ack(1));
  auto begin = std::chrono::steady_clock::now();
  server_.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
  EXPECT_EQ(server_.port(), 0);
  EXPECT_EQ(upload_count(), 0u);
}

}  // namespace
}  // namespace korvan
