// korvan-sim: serves the stand-in controller, or a site of them, until SIGINT
// or SIGTERM, or packs a firmware file with the make-firmware subcommand.

#include <arpa/inet.h>
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/faults.h"
#include "sim/firmware_maker.h"
#include "sim/korvan_sim.h"
#include "sim/number_text.h"
#include "sim/site.h"

namespace {

void usage(FILE* out) {
  std::fprintf(out,
               "usage: korvan-sim [--listen ADDR:PORT] [--firmware VERSION[,VERSION]...]\n"
               "                  [--state DIR] [--fault NAME[=VALUE][@I]]... [--log]\n"
               "                  [--controllers N] [--inventory FILE]\n"
               "       korvan-sim make-firmware --out FILE [--raw] [--model TEXT]\n"
               "                  [--version-string TEXT] [--version-number N] [--size BYTES]\n"
               "                  [--method stored|deflate|bzip2]\n"
               "\n"
               "  --listen ADDR:PORT   HTTP (TCP) and TFTP (UDP) address; default 127.0.0.1:8069,\n"
               "                       port 0 picks a free port; further controllers take\n"
               "                       the ports above it (or free ones for 0)\n"
               "  --firmware VERSION   firmware version reported; selects the file layouts\n"
               "                       (default 2.2.4); a comma-separated list is dealt to\n"
               "                       the controllers in turn\n"
               "  --state DIR          keep the configuration files in DIR across restarts\n"
               "                       (in DIR/01, DIR/02, ... when there are several)\n"
               "  --fault NAME[=VALUE] misbehave as named, with @I only controller I; may be\n"
               "                       repeated:\n"
               "%s"
               "  --log                print every request, upload, restore and upgrade as a\n"
               "                       JSON line on standard output\n"
               "  --controllers N      serve N controllers (up to %u), each with its own\n"
               "                       port, serial number, MAC and configuration\n"
               "  --inventory FILE     once all listen, write the site's inventory to FILE:\n"
               "                       name,address,serial_number,mac rows, korvan-01 first\n",
               korvan::fault_help(), korvan::kMaxControllers);
}

bool parse_listen(const std::string& text, korvan::SiteOptions& options) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string address = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  in_addr parsed{};
  if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long number = std::stoul(port);
  if (number > 65535) return false;
  options.address = address;
  options.port = static_cast<uint16_t>(number);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "make-firmware") == 0)
    return korvan::make_firmware_main(argc - 1, argv + 1);

  korvan::SiteOptions options;
  options.port = 8069;
  std::string inventory;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool has_value = false;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      has_value = true;
    }
    auto take_value = [&]() -> bool {
      if (has_value) return true;
      if (i + 1 >= argc) {
        std::fprintf(stderr, "korvan-sim: %s needs a value\n", arg.c_str());
        return false;
      }
      value = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    } else if (arg == "--log" && !has_value) {
      options.log = true;
    } else if (arg == "--listen") {
      if (!take_value()) return 2;
      if (!parse_listen(value, options)) {
        std::fprintf(stderr, "korvan-sim: --listen wants IPv4-ADDRESS:PORT, not '%s'\n",
                     value.c_str());
        return 2;
      }
    } else if (arg == "--firmware") {
      if (!take_value()) return 2;
      options.firmware.clear();
      for (size_t from = 0;;) {
        const size_t comma = value.find(',', from);
        options.firmware.push_back(value.substr(from, comma - from));
        if (comma == std::string::npos) break;
        from = comma + 1;
      }
    } else if (arg == "--state") {
      if (!take_value()) return 2;
      options.state_dir = value;
    } else if (arg == "--fault") {
      if (!take_value()) return 2;
      options.faults.push_back(value);
    } else if (arg == "--controllers") {
      if (!take_value()) return 2;
      const auto n = korvan::parse_decimal(value, 1, korvan::kMaxControllers);
      if (!n) {
        std::fprintf(stderr, "korvan-sim: --controllers wants a number from 1 to %u, not '%s'\n",
                     korvan::kMaxControllers, value.c_str());
        return 2;
      }
      options.controllers = static_cast<unsigned>(*n);
    } else if (arg == "--inventory") {
      if (!take_value()) return 2;
      inventory = value;
    } else {
      std::fprintf(stderr, "korvan-sim: unknown argument '%s'\n", argv[i]);
      usage(stderr);
      return 2;
    }
  }

  // Nothing here reads the events back; the log shows them.
  options.keep_events = false;
  std::vector<korvan::SimOptions> controllers;
  std::string error;
  if (!korvan::site_controllers(options, controllers, &error)) {
    std::fprintf(stderr, "korvan-sim: %s\n", error.c_str());
    return 2;
  }

  // Block the stop signals before any server thread exists, so every thread
  // inherits the mask and only sigwait below sees them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  korvan::Site site(std::move(controllers));
  if (!site.start(&error)) {
    std::fprintf(stderr, "korvan-sim: %s\n", error.c_str());
    return 1;
  }
  // The inventory comes before the listening lines, so whoever reads either
  // finds every controller listening.
  if (!inventory.empty() && !site.write_inventory(inventory, &error)) {
    std::fprintf(stderr, "korvan-sim: cannot write the inventory: %s\n", error.c_str());
    site.stop();
    return 1;
  }
  for (size_t i = 0; i < site.size(); ++i)
    std::printf("korvan-sim listening on %s\n", site[i].ip().c_str());
  std::fflush(stdout);

  int received = 0;
  sigwait(&stop_signals, &received);
  site.stop();
  return 0;
}
