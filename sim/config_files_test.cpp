#include "sim/config_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace korvan {
namespace {

// What a controller on each firmware starts with, and that every generated
// channel file carries a header that verifies. (The checksum itself agrees
// with the tool's, whose check values its own test holds: the tool verifies
// every file the simulator serves, and the simulator every file it restores.)
TEST(MakeConfigFile, LayoutsFollowFirmware) {
  struct Case {
    const char* firmware;
    size_t gear_length;
    uint32_t gear_version;
    size_t device_length;
    uint32_t device_version;
  } cases[] = {
      {"1.0.0", 11168, 1, kDeviceV1Length, 1},
      {"1.3.1", 10912, 2, 9436, 2},
      {"1.5.0", 7072, 3, 9436, 2},  // device files follow their own table
      {"2.2.4", 7072, 3, 9564, 3},
  };
  for (const Case& c : cases) {
    for (const ConfigName& config : config_names()) {
      SCOPED_TRACE(std::string(c.firmware) + " " + config.name);
      std::vector<uint8_t> file = make_config_file(config, c.firmware);
      EXPECT_EQ(check_config_file(config, file, c.firmware), "");
      if (config.kind == ConfigKind::opaque) continue;
      const bool gear = config.kind == ConfigKind::gear;
      ASSERT_EQ(file.size(), gear ? c.gear_length : c.device_length);
      EXPECT_EQ(load_u32(file.data()), file.size());
      EXPECT_EQ(load_u32(file.data() + 8), gear ? c.gear_version : c.device_version);
      const uint32_t crc = load_u32(file.data() + 4);
      std::fill(file.begin() + 4, file.begin() + 8, 0);
      EXPECT_EQ(crc, config_crc16(file.data(), file.size()));
    }
  }
}

}  // namespace
}  // namespace korvan
