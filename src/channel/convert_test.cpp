#include "channel/convert.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel/channel_file.h"
#include "test_support.h"

namespace torvi {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::ConsoleCapture;

using test::noise;

Bytes sealed(Bytes file, std::uint32_t version, std::uint32_t counter) {
  config_header_store(file.data(), {static_cast<std::uint32_t>(file.size()), 0, version, counter});
  config_seal(file.data(), file.size());
  return file;
}

// The first byte at which two files differ, the checksum field looked at
// last, so a report names the field that is wrong rather than the checksum.
std::string first_difference(const Bytes& out, const Bytes& want, std::size_t entry_size) {
  if (out.size() != want.size()) return "size " + std::to_string(out.size());
  for (std::size_t k = 0; k < out.size(); ++k) {
    if (out[k] == want[k] || (k >= 4 && k < 8)) continue;
    std::string where = "byte " + std::to_string(k);
    if (k >= 60 && entry_size) {
      where += " (entry " + std::to_string((k - 60) / entry_size) + ", offset " +
               std::to_string((k - 60) % entry_size) + ")";
    }
    return where + ": " + std::to_string(out[k]) + ", want " + std::to_string(want[k]);
  }
  return std::equal(out.begin() + 4, out.begin() + 8, want.begin() + 4) ? "" : "checksum";
}

// Device types of the fixture's entries, in turn: the three with a block of
// their own, one without, and none at all.
constexpr std::uint8_t kTypes[] = {5, 6, 8, 2, 255};

Bytes gear_fixture(std::uint32_t version, std::uint32_t counter) {
  const gear_layout& layout = gear_layout_of(version);
  Bytes file = noise(layout.length, 100 + version);
  for (std::size_t i = 0; i < kGearEntryCount; ++i)
    file[kGearEntries + i * layout.entry_size + kEntryDeviceType] = kTypes[i % 5];
  return sealed(file, version, counter);
}

// One row of a conversion table: output bytes [out, out + count) come from
// input bytes [in, ...), or hold `value` when `in` is kConstant. `type`
// limits the row to entries of that layout-1 device type.
constexpr int kConstant = -1;
constexpr int kAnyType = -1;
constexpr int kConfigured = -2;  // the configured type: the device type when 5, 6 or 8, else 255
struct Row {
  std::size_t out;
  std::size_t count;
  int in;
  int value = 0;
  int type = kAnyType;
};

// The entry tables, written out as the layouts define them.
const std::vector<Row> k1To2 = {
    {0, 43, 0},
    {43, 1, kConstant, 0},
    {44, 1, kConstant, kConfigured},
    {45, 1, kConstant, 255},
    {46, 3, 44, 0, 5},
    {49, 7, 44, 0, 6},
    {56, 50, 44, 0, 8},
    {106, 33, 94},
    {139, 1, 127},
    {140, 4, 128},
    {144, 16, 136},
};
const std::vector<Row> k1To3 = {
    {0, 43, 0},
    {43, 1, kConstant, kConfigured},
    {44, 1, kConstant, 255},
    {45, 33, 94},
    {78, 1, 127},
    {79, 1, kConstant, 0},
    {80, 4, 128},
    {84, 16, 136},
};
const std::vector<Row> k2To3 = {
    {0, 43, 0},   {43, 2, 44},   {45, 33, 106}, {78, 1, 139}, {79, 1, kConstant, 0},
    {80, 4, 140}, {84, 16, 144},
};

// What a conversion must give, built from the tables above and the parts
// every gear conversion shares.
Bytes expected_gear(const Bytes& in, std::uint32_t from, std::uint32_t to,
                    const std::vector<Row>& rows) {
  const gear_layout& a = gear_layout_of(from);
  const gear_layout& b = gear_layout_of(to);
  Bytes out(b.length, 0);
  std::copy(in.begin() + 16, in.begin() + 59, out.begin() + 16);
  std::copy_n(in.begin() + a.groups, 16 * 38, out.begin() + b.groups);
  std::copy_n(in.begin() + a.trailer, 4, out.begin() + b.trailer);
  for (std::size_t i = 0; i < 64; ++i) {
    const std::uint8_t* e = in.data() + 60 + i * a.entry_size;
    std::uint8_t* o = out.data() + 60 + i * b.entry_size;
    const std::uint8_t type = e[42];
    for (const Row& r : rows) {
      if (r.type != kAnyType && r.type != type) continue;
      for (std::size_t k = 0; k < r.count; ++k) {
        if (r.in != kConstant) {
          o[r.out + k] = e[r.in + k];
        } else if (r.value == kConfigured) {
          o[r.out + k] = (type == 5 || type == 6 || type == 8) ? type : 255;
        } else {
          o[r.out + k] = static_cast<std::uint8_t>(r.value);
        }
      }
    }
  }
  const config_header h = config_header_load(in.data());
  return sealed(out, to, h.counter + 1);
}

TEST(Convert, GearEntriesFieldByField) {
  const struct {
    const char* what;
    std::uint32_t from, to;
    int (*convert)(Bytes&, std::span<const std::uint8_t>);
    const std::vector<Row>& rows;
  } cases[] = {
      {"1 to 2", 1, 2, convert_gear_1_to_2, k1To2},
      {"1 to 3", 1, 3, convert_gear_1_to_3, k1To3},
      {"2 to 3", 2, 3, convert_gear_2_to_3, k2To3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes in = gear_fixture(c.from, 41);
    Bytes out;
    ASSERT_EQ(c.convert(out, in), 0);
    const Bytes want = expected_gear(in, c.from, c.to, c.rows);
    EXPECT_EQ(first_difference(out, want, gear_layout_of(c.to).entry_size), "");
    const config_header h = config_header_load(out.data());
    EXPECT_EQ(h.counter, 42u);
    EXPECT_EQ(h.version, c.to);
    EXPECT_EQ(h.length, out.size());
    // A wrong input length is refused.
    Bytes shorter(in.begin(), in.end() - 1);
    EXPECT_EQ(c.convert(out, shorter), 1);
  }
}

// (Device files 2 to 3 are compared instance by instance, push buttons,
// occupancy and light sensors, through korvan-sim's decoder after put_backup
// carries a backup from 1.3.1 to 2.2.4.)
// What is sent for each kind, stored layout and firmware. (Gear 1 to layouts
// 2 and 3, gear 2 and devices 2 to 2.2.4, devices 1 carried, and the refusals
// 2 to 1 and 3 to 2 are put_backup's round trips and refusals against
// korvan-sim.)
TEST(Convert, DecisionTable) {
  const Bytes opaque = noise(777, 3);
  const Bytes gear1 = gear_fixture(1, 0), gear2 = gear_fixture(2, 0), gear3 = gear_fixture(3, 0);
  Bytes gear0 = gear1;
  store_u32(gear0.data() + 8, 0);
  Bytes gear1_short(gear1.begin(), gear1.end() - 168);
  Bytes gear2_long = gear2;
  gear2_long.resize(11168);
  Bytes gear4 = gear3;
  store_u32(gear4.data() + 8, 4);
  const Bytes cd2 = sealed(noise(9436, 7), 2, 0);
  Bytes cd1 = sealed(noise(8256, 9), 1, 0), cd3 = sealed(noise(9564, 9), 3, 0);
  Bytes cd2_short(cd2.begin(), cd2.end() - 1), cd5 = cd3;
  store_u32(cd5.data() + 8, 5);
  const std::string dali = "CONFIGURATION dali CONVERSION VERSION ";
  const std::string dalicd = "CONFIGURATION dalicd CONVERSION VERSION ";
  const std::string tail = " IS NOT SUPPORTED!";
  constexpr std::uint32_t kSame = 0;  // sent unchanged
  const struct {
    const char* what;
    std::uint32_t kind;
    const char* firmware;
    const Bytes& data;
    int result;
    std::uint32_t version;  // of the bytes sent; kSame: exactly the stored bytes
    std::string out;
  } cases[] = {
      {"last opaque kind", 17, nullptr, opaque, 0, kSame, ""},
      {"kind beyond the table", 18, "2.2.4", opaque, 2, 0, ""},
      {"no bytes", 0, "2.2.4", Bytes(), 1, 0, ""},
      {"gear, no firmware version", 1, nullptr, gear1, 1, 0, ""},
      {"gear 1 to 1.3.0", 1, "1.3.0", gear1, 0, kSame, ""},
      {"gear 1 to 1.0.0", 2, "1.0.0", gear1, 0, kSame, ""},
      {"gear 0 to 1.3.1", 1, "1.3.1", gear0, 0, 2, ""},
      {"short gear 1 to 1.3.0", 1, "1.3.0", gear1_short, 0, kSame, ""},
      {"short gear 1 to 1.3.1", 1, "1.3.1", gear1_short, 2, 0, ""},
      {"short gear 1 to 2.2.4", 1, "2.2.4", gear1_short, 2, 0, ""},
      {"gear 2 to 1.2.0", 1, "1.2.0", gear2, 2, 0, dali + "2 to 0" + tail},
      {"gear 2 to 1.3.1", 1, "1.3.1", gear2, 0, kSame, ""},
      {"long gear 2 to 2.2.4", 1, "2.2.4", gear2_long, 2, 0, ""},
      {"gear 3 to 1.3.0", 1, "1.3.0", gear3, 2, 0, dali + "3 to 1" + tail},
      {"gear 3 to 1.5.0", 1, "1.5.0", gear3, 0, kSame, ""},
      {"gear 4", 1, "2.2.4", gear4, 2, 0, ""},
      {"gear header cut", 1, "2.2.4", Bytes(gear1.begin(), gear1.begin() + 15), 2, 0, ""},
      {"device 1, no firmware version", 6, nullptr, cd1, 0, kSame, ""},
      {"device 3 to 1.3.0", 7, "1.3.0", cd3, 0, kSame, ""},
      {"device 2 to 1.5.0", 5, "1.5.0", cd2, 0, kSame, ""},
      {"device 2 to 1.3.0", 5, "1.3.0", cd2, 2, 0, dalicd + "2 to 0" + tail},
      {"short device 2 to 2.2.4", 5, "2.2.4", cd2_short, 2, 0, ""},
      {"short device 2 to 1.5.0", 5, "1.5.0", cd2_short, 0, kSame, ""},
      {"device 2, no firmware version", 5, nullptr, cd2, 1, 0, ""},
      {"device 5", 5, "2.2.4", cd5, 2, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes out = {1, 2, 3};
    ConsoleCapture capture;
    EXPECT_EQ(convert_config(c.kind, c.firmware, c.data, out), c.result);
    EXPECT_EQ(capture.out(), c.out);
    if (c.result != 0) {
      EXPECT_TRUE(out.empty());
    } else if (c.version == kSame) {
      EXPECT_EQ(out, c.data);
    } else {
      ASSERT_GE(out.size(), 16u);
      const config_header h = config_header_load(out.data());
      EXPECT_EQ(h.version, c.version);
      EXPECT_EQ(h.length, out.size());
      EXPECT_EQ(h.counter, config_header_load(c.data.data()).counter + 1);
    }
  }
}

}  // namespace
}  // namespace torvi
