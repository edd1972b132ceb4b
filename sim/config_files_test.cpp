#include "sim/config_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace korvan {
namespace {

TEST(ConfigCrc16, KnownVectors) {
  struct Case {
    std::string text;
    uint16_t crc;
  } cases[] = {{"123456789", 0x6F91}, {"abc", 0x61DA}, {"", 0xFFFF}};
  for (const Case& c : cases) {
    EXPECT_EQ(config_crc16(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size()), c.crc)
        << c.text;
  }
}

// What a controller on each firmware starts with, and that every generated
// channel file carries a header that verifies.
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
