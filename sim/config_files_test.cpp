#include "sim/config_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
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

TEST(LayoutForFirmware, VersionsCompareAsText) {
  struct Case {
    std::span<const LayoutRow> table;
    const char* version;
    int index;
  } cases[] = {
      {firmware_layout_table, "1.0.0", 0},   {firmware_layout_table, "1.2.9", 0},
      {firmware_layout_table, "1.3.0", 1},   {firmware_layout_table, "1.3.1", 2},
      {firmware_layout_table, "1.4.7", 2},   {firmware_layout_table, "1.5.0", 3},
      {firmware_layout_table, "2.0.0", 3},   {firmware_layout_table, "0.9.9", 0},
      {firmware_layout_table, "1.10.0", 0},  {firmware_layout_table, "", 0},
      {cd_restore_layout_table, "1.3.0", 0}, {cd_restore_layout_table, "1.5.0", 2},
      {cd_restore_layout_table, "2.2.3", 2}, {cd_restore_layout_table, "2.2.4", 3},
  };
  for (const Case& c : cases)
    EXPECT_EQ(layout_for_firmware(c.table, c.version), c.index) << c.version;
}

// What a controller on each firmware starts with, that every generated
// channel file carries a header that verifies, and that names and paths
// find each file both ways.
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
      EXPECT_EQ(find_config_by_path(config.path), &config);
      EXPECT_EQ(find_config_by_name(config.name), &config);
      const std::vector<uint8_t> file = make_config_file(config, c.firmware);
      EXPECT_EQ(file, make_config_file(config, c.firmware)) << "not the same bytes every time";
      EXPECT_EQ(check_config_file(config, file, c.firmware), "");
      if (config.kind == ConfigKind::opaque) {
        EXPECT_EQ(file.size(), config.opaque_size);
        continue;
      }
      const bool gear = config.kind == ConfigKind::gear;
      ASSERT_EQ(file.size(), gear ? c.gear_length : c.device_length);
      EXPECT_EQ(load_u32(file.data()), file.size());
      EXPECT_EQ(load_u32(file.data() + 8), gear ? c.gear_version : c.device_version);
      EXPECT_EQ(load_u32(file.data() + 12), 0u);
      std::vector<uint8_t> zeroed = file;
      std::memset(zeroed.data() + 4, 0, 4);
      EXPECT_EQ(load_u32(file.data() + 4), config_crc16(zeroed.data(), zeroed.size()));
    }
  }
  EXPECT_NE(make_config_file(*find_config_by_name("dali1"), "2.2.4"),
            make_config_file(*find_config_by_name("dali2"), "2.2.4"));
  EXPECT_EQ(config_names().size(), 18u);
  EXPECT_EQ(find_config_by_path("etc/config/dali/dali1.bin"), nullptr);  // no leading slash
  EXPECT_EQ(find_config_by_name("DALI1"), nullptr);
}

// The gear files hold a partly used bus: entries with a short address have
// the address byte 2 * address + 1, a name and scene levels; the others are
// cleared as each layout clears them.
TEST(MakeConfigFile, GearEntriesAreRealistic) {
  struct Case {
    const char* firmware;
    size_t entry_size, name_offset, group_offset;
    uint8_t cleared_address;
  } cases[] = {
      {"1.0.0", 152, 94, 9788, 0}, {"1.3.1", 160, 106, 10300, 0}, {"2.2.4", 100, 45, 6460, 255}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.firmware);
    const std::vector<uint8_t> file = make_config_file(*find_config_by_name("dali2"), c.firmware);
    unsigned assigned = 0;
    for (size_t i = 0; i < 64; ++i) {
      const uint8_t* e = file.data() + 60 + i * c.entry_size;
      const char* name = reinterpret_cast<const char*>(e + c.name_offset);
      ASSERT_LT(strnlen(name, 33), 33u) << "entry " << i;
      if (load_u32(e) & 1) {
        ++assigned;
        EXPECT_EQ(e[11], 2 * i + 1);
        EXPECT_GT(strnlen(name, 33), 0u);
        EXPECT_NE(load_u16(e + 18), 0) << "no group membership";
        EXPECT_EQ(e[20], 254);
      } else {
        EXPECT_EQ(e[11], c.cleared_address);
        EXPECT_EQ(e[20], 255);
      }
    }
    EXPECT_GT(assigned, 0u);
    EXPECT_LT(assigned, 64u);
    EXPECT_STREQ(reinterpret_cast<const char*>(file.data() + c.group_offset), "Entrance 2");
  }
}

TEST(MakeConfigFile, DeviceEntriesHaveInstances) {
  for (const char* firmware : {"1.3.1", "2.2.4"}) {
    const std::vector<uint8_t> file = make_config_file(*find_config_by_name("cd1"), firmware);
    unsigned devices = 0;
    for (size_t d = 0; d < 32; ++d) {
      const uint8_t* e = file.data() + 28 + d * 100;
      if (!(load_u32(e) & 1)) {
        EXPECT_EQ(e[8], 255);
        continue;
      }
      ++devices;
      EXPECT_EQ(e[8], 2 * d + 1);
      ASSERT_GT(e[10], 0);
      for (size_t j = 0; j < e[10]; ++j) {
        const uint8_t type = e[16 + 2 * j];
        EXPECT_TRUE(type == 1 || type == 3 || type == 4) << int(type);
      }
      EXPECT_GT(strnlen(reinterpret_cast<const char*>(e + 80), 17), 0u);
    }
    EXPECT_GT(devices, 1u) << firmware;
  }
}

// A restore takes a channel file only when its header agrees with itself and
// with what the controller's firmware supports.
TEST(CheckConfigFile, RefusesInconsistentFiles) {
  using Edit = std::function<void(std::vector<uint8_t>&)>;
  auto reseal = [](uint32_t version, size_t size = 0) -> Edit {
    return [=](auto& f) {
      if (size) f.resize(size);
      seal_config_header(f, version);
    };
  };
  auto cut = [](size_t size) -> Edit { return [=](auto& f) { f.resize(size); }; };
  struct Case {
    const char* what;
    const char* config;
    const char* made_for;  // firmware the file is generated for
    const char* target;    // firmware of the controller it is restored to
    Edit edit;             // nullptr: as made
    const char* reason;    // expected start of the reason; "" when accepted
  } cases[] = {
      {"unchanged", "dali1", "2.2.4", "2.2.4", nullptr, ""},
      {"older layout", "dali1", "1.3.1", "2.2.4", nullptr, ""},
      {"same layout, other version text", "dali3", "1.5.0", "2.0.0", nullptr, ""},
      {"flipped data byte", "dali1", "2.2.4", "2.2.4", [](auto& f) { f[100] ^= 1; }, "checksum"},
      {"checksum upper half set", "dali1", "2.2.4", "2.2.4", [](auto& f) { f[6] = 1; }, "checksum"},
      {"length off by one", "dali1", "2.2.4", "2.2.4", [](auto& f) { f[0]++; }, "length field"},
      {"file cut short", "dali1", "2.2.4", "2.2.4", cut(7068), "length field"},
      {"layout 3 body labelled 2", "dali1", "2.2.4", "2.2.4", reseal(2), "layout version 2 needs"},
      {"unknown version", "dali1", "2.2.4", "2.2.4", reseal(7), "unknown layout version"},
      {"newer gear layout", "dali1", "2.2.4", "1.3.1", nullptr, "layout version 3 is newer"},
      {"newer device layout", "cd2", "2.2.4", "1.3.1", nullptr, "layout version 3 is newer"},
      {"version-1 device file of any size", "cd2", "1.0.0", "2.2.4", reseal(1, 5000), ""},
      {"device body labelled 3", "cd2", "1.3.1", "2.2.4", reseal(3), "layout version 3 needs"},
      {"header only part", "dali4", "2.2.4", "2.2.4", cut(10), "file too short"},
      {"empty opaque file", "rlc", "2.2.4", "2.2.4", cut(0), "empty file"},
      {"opaque file of other size", "rlc", "2.2.4", "2.2.4", cut(3), ""},
      {"oversized opaque file", "rlc", "2.2.4", "2.2.4", cut(kMaxConfigFile + 1), "file of"},
  };
  for (const Case& c : cases) {
    const ConfigName& config = *find_config_by_name(c.config);
    std::vector<uint8_t> file = make_config_file(config, c.made_for);
    if (c.edit) c.edit(file);
    const std::string reason = check_config_file(config, file, c.target);
    EXPECT_EQ(reason.substr(0, std::strlen(c.reason)), c.reason) << c.what << ": " << reason;
    EXPECT_EQ(reason.empty(), *c.reason == 0) << c.what << ": " << reason;
  }
}

TEST(DecodeConfigFile, RefusesIncompleteFiles) {
  using Edit = std::function<void(std::vector<uint8_t>&)>;
  auto reseal = [](uint32_t version) -> Edit {
    return [=](auto& f) { seal_config_header(f, version); };
  };
  auto cut = [](size_t size) -> Edit { return [=](auto& f) { f.resize(size); }; };
  struct Case {
    const char* config;
    const char* firmware;
    Edit edit;
    const char* reason;
    const char* about;  // what the restore log says of it
  } cases[] = {
      {"dali1", "2.2.4", cut(15), "file of 15 bytes is too short for its header", ""},
      {"dali1", "2.2.4", reseal(7), "unknown layout version 7", "layout 7, conversion counter 0"},
      {"dali1", "2.2.4", [](auto& f) { f[0]++; },
       "layout version 3 needs 7072 bytes, length field says 7073",
       "layout 3, conversion counter 0"},
      {"dali1", "2.2.4", cut(7000), "layout version 3 needs 7072 bytes, file has 7000",
       "layout 3, conversion counter 0"},
      {"cd1", "2.2.4", cut(0), "file of 0 bytes is too short for its header", ""},
      {"cd1", "2.2.4", reseal(2), "layout version 2 needs 9436 bytes, length field says 9564",
       "layout 2, conversion counter 0"},
  };
  for (const Case& c : cases) {
    const ConfigName& config = *find_config_by_name(c.config);
    std::vector<uint8_t> file = make_config_file(config, c.firmware);
    c.edit(file);
    std::string error;
    GearFileInfo gear;
    DeviceFileInfo devices;
    const bool ok = config.kind == ConfigKind::gear ? decode_gear_file(file, gear, &error)
                                                    : decode_device_file(file, devices, &error);
    EXPECT_FALSE(ok) << c.reason;
    EXPECT_EQ(error, c.reason);
    EXPECT_EQ(describe_config_file(config, file), c.about) << c.reason;
  }
  EXPECT_EQ(describe_config_file(*find_config_by_name("rlc"), std::vector<uint8_t>(64, 3)), "");
}

// The restore log's view of a channel file: the same lines whatever layout
// carries the content, only used entries and devices, nothing for files
// without a layout of their own.
TEST(DescribeContents, ListsUsedEntriesAndGroups) {
  const std::string gear0 =
      "dali1 entry 0: address 1 (short 0), name \"C1 Downlight 01\", groups [0,15], levels "
      "254/254/1/254, fade rate 7, fade time 0, scenes "
      "[254,64,0,255,255,255,255,255,255,255,255,255,255,255,255,255]";
  const std::string keypad =
      "cd1 device 0: address 1 (short 0), name \"Keypad 1.1\", flags 0x1, instances [push "
      "button 0: 00 00 02 05 00 00, push button 1: 00 01 02 05 00 00, push button 2: 00 02 02 05 "
      "00 00, push button 3: 00 03 02 05 00 00], push-button value 50";
  const std::string sensor =
      "cd1 device 1: address 3 (short 1), name \"Sensor 1.2\", flags 0x1, instances [occupancy "
      "0: 00 01 0f 00, light 0: 00 01 1e], push-button value 0";
  struct Case {
    const char* config;
    const char* firmware;
    size_t count;
    std::vector<std::string> first;
  } cases[] = {
      {"dali1", "2.2.4", 14, {gear0}},  // 9 entries with a short address, 5 named groups
      {"dali1", "1.3.1", 14, {gear0}},
      {"cd1", "2.2.4", 3, {keypad, sensor}},
      {"cd1", "1.3.1", 3, {keypad, sensor}},
      {"cd1", "1.0.0", 0, {}},
      {"rlc", "2.2.4", 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.config) + " " + c.firmware);
    const ConfigName& config = *find_config_by_name(c.config);
    const std::vector<std::string> lines =
        describe_contents(config, make_config_file(config, c.firmware));
    ASSERT_EQ(lines.size(), c.count);
    for (size_t i = 0; i < c.first.size(); ++i) EXPECT_EQ(lines[i], c.first[i]);
  }
  // A named entry without a short address still shows; groups follow the entries.
  std::vector<uint8_t> file = make_config_file(*find_config_by_name("dali1"), "2.2.4");
  store_u32(file.data() + 60, 0);
  file[60 + 11] = 255;
  const std::vector<std::string> lines = describe_contents(*find_config_by_name("dali1"), file);
  ASSERT_EQ(lines.size(), 14u);
  EXPECT_EQ(
      lines[0].rfind("dali1 entry 0: address 255 (no short address), name \"C1 Downlight 01\",", 0),
      0u)
      << lines[0];
  EXPECT_EQ(lines[9], "dali1 group 0: \"Entrance 1\"");
}

}  // namespace
}  // namespace korvan
