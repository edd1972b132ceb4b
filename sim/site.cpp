#include "sim/site.h"

#include <sys/resource.h>

#include <cstdio>

#include "sim/faults.h"
#include "sim/number_text.h"
#include "sim/sim_state.h"

namespace korvan {
namespace {

// Listening TCP and UDP sockets, the TFTP server's wake-up, and a connection.
constexpr rlim_t kFilesPerController = 4;
constexpr rlim_t kFilesBesides = 64;

void allow_open_files(size_t controllers) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t need = kFilesPerController * controllers + kFilesBesides;
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= need) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? need : std::min(need, limit.rlim_max);
  ::setrlimit(RLIMIT_NOFILE, &limit);  // short of it, binding says what is missing
}

}  // namespace

std::string controller_name(unsigned number) {
  return "korvan-" + controller_folder(number);
}

std::string controller_folder(unsigned number) {
  char text[16];
  std::snprintf(text, sizeof text, "%02u", number);
  return text;
}

bool site_controllers(const SiteOptions& site, std::vector<SimOptions>& out, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  const unsigned n = site.controllers;
  if (n < 1 || n > kMaxControllers)
    return fail("a site has 1 to " + std::to_string(kMaxControllers) + " controllers, not " +
                std::to_string(n));
  if (site.port != 0 && site.port + (n - 1) > 65535u)
    return fail(std::to_string(n) + " controllers from port " + std::to_string(site.port) +
                " would pass port 65535");
  if (site.firmware.empty()) return fail("no firmware version");
  for (const std::string& version : site.firmware)
    if (version.empty()) return fail("an empty firmware version");

  out.assign(n, SimOptions{});
  for (unsigned i = 0; i < n; ++i) {
    SimOptions& c = out[i];
    c.number = i + 1;
    c.address = site.address;
    c.port = site.port == 0 ? 0 : static_cast<uint16_t>(site.port + i);
    c.firmware = site.firmware[i % site.firmware.size()];
    c.state_dir = site.state_dir.empty() || n == 1
                      ? site.state_dir
                      : site.state_dir + "/" + controller_folder(c.number);
    if (n > 1) c.name = controller_name(c.number);
    c.log = site.log;
    c.keep_events = site.keep_events;
  }
  for (const std::string& text : site.faults) {
    const size_t at = text.rfind('@');
    const std::string fault = text.substr(0, at);
    Faults check;
    if (!apply_fault(check, fault, error)) return false;
    if (at == std::string::npos) {
      for (SimOptions& c : out) c.faults.push_back(fault);
      continue;
    }
    const auto target = parse_decimal(text.substr(at + 1), 1, n);
    if (!target)
      return fail("fault '" + text + "': the controller after @ is a number from 1 to " +
                  std::to_string(n));
    out[*target - 1].faults.push_back(fault);
  }
  return true;
}

Site::Site(std::vector<SimOptions> controllers) {
  for (SimOptions& options : controllers) {
    numbers_.push_back(options.number);
    controllers_.push_back(std::make_unique<Simulator>(std::move(options)));
  }
}

Site::~Site() {
  stop();
}

bool Site::start(std::string* error) {
  allow_open_files(controllers_.size());
  for (size_t i = 0; i < controllers_.size(); ++i) {
    std::string why;
    if (controllers_[i]->start(&why)) continue;
    stop();
    if (error) *error = controller_name(numbers_[i]) + ": " + why;
    return false;
  }
  return true;
}

void Site::stop() {
  for (auto& controller : controllers_) controller->stop();
}

std::string Site::inventory() const {
  std::string text = "name,address,serial_number,mac\n";
  for (size_t i = 0; i < controllers_.size(); ++i) {
    const Simulator& c = *controllers_[i];
    text += controller_name(numbers_[i]) + "," + c.ip() + "," + c.serial_number() + "," + c.mac() +
            "\n";
  }
  return text;
}

bool Site::write_inventory(const std::string& path, std::string* error) const {
  const std::string text = inventory();
  return write_file_atomic(path, std::vector<uint8_t>(text.begin(), text.end()), error);
}

}  // namespace korvan
