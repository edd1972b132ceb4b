#include "sim/tftp_server.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "gtest/gtest.h"
#include "sim/sim_test_support.h"

namespace korvan {
namespace {

// A server on a free loopback port that records what it receives.
class TftpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.set_upload_handler([this](const std::string&, Bytes data) {
      std::lock_guard<std::mutex> lock(mutex_);
      uploads_.push_back(std::move(data));
    });
    std::string error;
    ASSERT_TRUE(server_.start("127.0.0.1", 0, &error)) << error;
    port_ = std::to_string(server_.port());
  }

  // The handlers touch the members below, so the server ends first.
  void TearDown() override { server_.stop(); }

  // The first upload, waiting up to ten seconds for it.
  std::optional<Bytes> wait_upload() {
    if (!eventually([&] { return upload_count() > 0; }, 10)) return std::nullopt;
    std::lock_guard<std::mutex> lock(mutex_);
    return uploads_.front();
  }

  size_t upload_count(bool clear = false) {
    std::lock_guard<std::mutex> lock(mutex_);
    return clear ? std::exchange(uploads_, {}).size() : uploads_.size();
  }

  TftpServer server_;
  std::string port_;
  std::mutex mutex_;
  std::vector<Bytes> uploads_;
};

// ---- real clients: %F file, %R remote name, %P port ----

const std::string kTftpHpa = "tftp -v -m binary 127.0.0.1 %P -c put %F %R";
const std::string kAtftp =
    "atftp --tftp-timeout 1 --option 'blksize 1428' --option 'tsize 0' -p -l %F -r %R 127.0.0.1 %P";
const std::string kCurl = "curl -sS --max-time 20 -T %F tftp://127.0.0.1:%P/%R";

TEST_F(TftpServerTest, RealClientsUploadEveryBoundarySizeAndMeetFaults) {
  struct Case {
    std::string client;
    bool completes;
    TftpFaults faults = {};
    size_t size = 6000;
  };
  std::vector<Case> cases = {
      {kAtftp, true, {false, 4, 0}},                                    // drops
      {kCurl, true, {false, 10, 0}},  {kTftpHpa, false, {true, 0, 0}},  // errors
      {kAtftp, false, {true, 0, 0}},  {kCurl, false, {true, 0, 0}},
      {kAtftp, false, {false, 0, 2}},  // stalls (other names and modes: the packet table)
  };
  for (const std::string& client : {kTftpHpa, kAtftp, kCurl})
    for (size_t size : {0, 511, 512, 513, 1428, 1024 * 1024})
      cases.push_back({client, true, {}, size});
  TempDir dir;
  const std::string file = dir.file("up.bin");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.client + " size " + std::to_string(c.size));
    const std::string program = c.client.substr(0, c.client.find(' '));
    if (!have_program(program))
      GTEST_SKIP() << program << " is not installed (scripts/install-deps installs it)";
    const Bytes content = noise(c.size, static_cast<uint32_t>(c.size + 7));
    write_file(file, content);
    upload_count(true);
    server_.set_faults(c.faults);
    std::string command = c.client;
    for (auto [key, value] :
         {std::pair<std::string, std::string>{"%F", file}, {"%R", kTftpUploadName}, {"%P", port_}})
      for (size_t at; (at = command.find(key)) != std::string::npos;) command.replace(at, 2, value);
    int status = 0;
    const std::string output = output_of("timeout 30 " + command + " 2>&1", &status);
    // tftp-hpa exits 0 even when a put fails, so its complaints decide too.
    const bool failed = status != 0 || contains(output, "rror") || contains(output, "timed out");
    EXPECT_EQ(failed, !c.completes) << output;
    if (!c.completes) {
      EXPECT_EQ(upload_count(), 0u);
      continue;
    }
    auto got = wait_upload();
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(*got == content) << "got " << got->size() << " bytes";
    EXPECT_TRUE(c.client != kTftpHpa || c.size == 0 || contains(output, "Sent")) << output;
  }
}

// ---- packet level, with a socket of our own ----

class RawPeer {
 public:
  RawPeer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local = loopback(0);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
  }
  ~RawPeer() { ::close(fd_); }

  void send(uint16_t port, const Bytes& packet) {
    sockaddr_in to = loopback(port);
    ::sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }

  // The next datagram and the port it came from; nothing after timeout_ms.
  std::optional<Bytes> receive(int timeout_ms = 3000, uint16_t* from_port = nullptr) {
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
      {"all three", wrq({"blksize", "1428", "tsize", "100", "timeout", "3"}),
       oack({"blksize", "1428", "tsize", "100", "timeout", "3"})},
      {"blksize upper bound", wrq({"blksize", "70000"}), oack({"blksize", "65464"})},
      {"blksize too small", wrq({"blksize", "7"}), ack(0)},
      {"unknown ignored", wrq({"windowsize", "4", "tsize", "0"}), oack({"tsize", "0"})},
      {"tsize too large", wrq({"tsize", "67108865"}), error_packet(3)},
      {"read request", request(1, {"flashraw.bin", "octet"}), error_packet(2)},
      {"other name", wrq({}, "octet", "backup.tar"), error_packet(2)},
      {"netascii", wrq({}, "netascii"), error_packet(4)},
      {"injected error", wrq({}), error_packet(0), {true, 0, 0}},
      {"unterminated name", Bytes{0, 2, 'f', 'l', 'a'}, error_packet(4)},
      {"stray DATA", data_packet(1, noise(10, 1)), error_packet(5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.set_faults(c.faults);
    RawPeer peer;
    peer.send(server_.port(), c.packet);
    auto reply = peer.receive();
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
  options.insert(options.begin(), {"flashraw.bin", "octet"});
  peer.send(server_port, request(2, options));
  uint16_t port = 0;
  auto reply = peer.receive(3000, &port);
  EXPECT_TRUE(reply && ((*reply)[1] == 4 || (*reply)[1] == 6));
  EXPECT_NE(port, server_port) << "a transfer must use a port of its own";
  return port;
}

// Repeated blocks are acknowledged again but stored once; a stranger writing
// to the transfer's port is told off without disturbing it.
TEST_F(TftpServerTest, DuplicatesAndStrangersLeaveTheUploadIntact) {
  RawPeer peer, stranger;
  uint16_t tid = open_transfer(peer, server_.port());
  Bytes first = noise(512, 1), last = noise(100, 2);
  for (int i = 0; i < 3; ++i) {
    peer.send(tid, data_packet(1, first));
    EXPECT_EQ(peer.receive(), ack(1));
  }
  stranger.send(tid, data_packet(2, noise(5, 9)));
  EXPECT_TRUE(is_error(stranger.receive(), 5));
  EXPECT_FALSE(peer.receive(200).has_value());
  // The last block twice, as if our final ACK had been lost.
  for (int i = 0; i < 2; ++i) {
    peer.send(tid, data_packet(2, last));
    EXPECT_EQ(peer.receive(), ack(2));
  }
  auto got = wait_upload();
  ASSERT_TRUE(got.has_value());
  first.insert(first.end(), last.begin(), last.end());
  EXPECT_TRUE(*got == first);
  EXPECT_EQ(upload_count(), 1u);
}

TEST_F(TftpServerTest, BlockSizeAndUploadLimitAreEnforced) {
  struct Case {
    std::string blksize;
    size_t sent;  // payload of block 1
  };
  const Case cases[] = {{"8", 9}, {"65464", 65465}, {"", 513}};
  for (const Case& c : cases) {
    RawPeer peer;
    std::vector<std::string> options;
    if (!c.blksize.empty()) options = {"blksize", c.blksize};
    uint16_t tid = open_transfer(peer, server_.port(), options);
    peer.send(tid, data_packet(1, noise(c.sent, 1)));
    EXPECT_TRUE(is_error(peer.receive(), 4)) << c.sent;
  }
  // Past the upload limit, midway.
  server_.set_max_upload(1000);
  RawPeer peer;
  uint16_t tid = open_transfer(peer, server_.port());
  peer.send(tid, data_packet(1, noise(512, 1)));
  EXPECT_EQ(peer.receive(), ack(1));
  peer.send(tid, data_packet(2, noise(512, 1)));
  EXPECT_TRUE(is_error(peer.receive(), 3));
  EXPECT_EQ(upload_count(), 0u);
}

// The announced size reserves nothing: memory follows the blocks that really
// arrive, and an announcement smaller than the upload does not cut it.
TEST_F(TftpServerTest, TsizeIsTheClientsWordOnly) {
  RawPeer idle;
  const size_t mapped = mallinfo2().hblkhd;
  uint16_t tid = open_transfer(idle, server_.port(), {"tsize", std::to_string(64 << 20)});
  idle.send(tid, data_packet(1, noise(512, 1)));
  EXPECT_EQ(idle.receive(), ack(1));
  EXPECT_LT(mallinfo2().hblkhd, mapped + (8u << 20)) << "64 MiB reserved for 512 bytes";
  idle.send(tid, error_packet(0));
  RawPeer peer;
  tid = open_transfer(peer, server_.port(), {"tsize", "10"});
  const Bytes content = noise(612, 1);
  peer.send(tid, data_packet(1, Bytes(content.begin(), content.begin() + 512)));
  EXPECT_EQ(peer.receive(), ack(1));
  peer.send(tid, data_packet(2, Bytes(content.begin() + 512, content.end())));
  EXPECT_EQ(peer.receive(), ack(2));
  auto got = wait_upload();
  ASSERT_TRUE(got.has_value());
  EXPECT_TRUE(*got == content);
}

// Each ACK of a DATA block is held back by the configured latency; the
// answer to the request is not.
TEST_F(TftpServerTest, AckDelayHoldsBackEveryAck) {
  server_.set_faults({.ack_delay_us = 300000});
  RawPeer peer;
  const auto opened = std::chrono::steady_clock::now();
  uint16_t tid = open_transfer(peer, server_.port());
  EXPECT_LT(std::chrono::steady_clock::now() - opened, std::chrono::milliseconds(300));
  for (uint16_t block : {1, 2}) {
    const auto sent = std::chrono::steady_clock::now();
    peer.send(tid, data_packet(block, noise(block == 1 ? 512 : 3, 1)));
    EXPECT_EQ(peer.receive(), ack(block));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(300));
  }
  EXPECT_TRUE(wait_upload().has_value());
}

}  // namespace
}  // namespace korvan
