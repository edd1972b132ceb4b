#pragma once
// Helpers shared by korvan-sim's own tests.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "sim/korvan_sim.h"
#include "test_support.h"

namespace korvan {

using Bytes = std::vector<uint8_t>;
using torvi::test::have_program;
using torvi::test::read_file;
using torvi::test::run_command;
using torvi::test::TempDir;
using torvi::test::write_file;

using torvi::test::bytes_of;
using torvi::test::noise;
inline std::string text_of(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// What a shell command printed on standard output (and standard error when
// the command asks for it); *status gets its exit status.
inline std::string output_of(const std::string& command, int* status = nullptr) {
  std::string out;
  const int s = run_command(command, &out);
  if (status) *status = s;
  return out;
}

// The members of a flat JSON object of strings, as the tool's reader sees them.
inline std::map<std::string, std::string> json_members(const std::string& text) {
  std::map<std::string, std::string> out;
  static const std::regex member("\"([^\"]*)\":\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), member);
       it != std::sregex_iterator(); ++it)
    out[(*it)[1]] = (*it)[2];
  return out;
}

inline std::vector<SimEvent> events_of(const Simulator& sim, const std::string& kind) {
  std::vector<SimEvent> out;
  for (const SimEvent& e : sim.events())
    if (e.kind == kind) out.push_back(e);
  return out;
}

// Asks `done` every few milliseconds until it holds or `seconds` are up.
template <class Done>
bool eventually(Done done, int seconds) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The loopback address at `port`.
inline sockaddr_in loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace korvan
