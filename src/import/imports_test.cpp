#include "import/imports.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace torvi {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The first byte at which two buffers differ, or "" when they agree.
std::string difference(const std::uint8_t* got, const Bytes& want) {
  for (std::size_t k = 0; k < want.size(); ++k) {
    if (got[k] != want[k]) {
      return "byte " + std::to_string(k) + ": " + std::to_string(got[k]) + ", want " +
             std::to_string(want[k]);
    }
  }
  return "";
}

// The gear layouts as the import addresses them.
struct Layout {
  const char* firmware;
  int index;
  std::size_t entry_size, name;
};
constexpr Layout kLayouts[] = {
    {"1.3.0", 1, 152, 94},
    {"1.3.1", 2, 160, 106},
    {"2.2.4", 3, 100, 45},
};

// What one applied channel CSV row must leave in its gear entry.
struct Written {
  unsigned entry;
  std::uint32_t flag;  // 2, or 8 for a row whose level 1 reads false
  int short_address;   // 0..63, 255 for none, -1 for 64..254 (nothing changes)
  std::string name;    // as stored
  std::uint16_t groups;
  std::array<std::uint8_t, 4> levels;
  std::uint8_t rate, time;
  std::vector<std::uint8_t> scenes;  // the first scenes; the rest 255
  std::uint32_t channel_value = 1;
};

void expect_written(Bytes& g, const Layout& l, const Written& w) {
  std::uint8_t* e = g.data() + 60 + w.entry * l.entry_size;
  std::uint32_t flags = load_u32(e) | w.flag;
  e[36] = 255;
  if (w.short_address == 255) {
    if (l.index == 1) {
      std::memset(g.data() + 10396 + 12 * w.entry, 0, 12);
    } else {
      e[11] = l.index == 2 ? 0 : 255;
      flags &= ~1u;
    }
  } else if (w.short_address >= 0) {
    flags |= 1;
    e[11] = static_cast<std::uint8_t>(2 * w.short_address + 1);
  }
  if (l.index == 3) store_u32(g.data() + 16, w.channel_value);
  std::memset(e + l.name, 0, 33);
  std::memcpy(e + l.name, w.name.data(), w.name.size());
  store_u16(e + 18, w.groups);
  std::copy(w.levels.begin(), w.levels.end(), e + 5);
  e[9] = w.rate;
  e[10] = w.time;
  std::memset(e + 20, 255, 16);
  std::copy(w.scenes.begin(), w.scenes.end(), e + 20);
  store_u32(e, flags);
}

// Each row is checked against every byte of the gear file, in every layout:
// the fields it writes, and nothing else. (Entry and field bounds, version
// lines and every value noted are check-csv's tests; the groups and inputs
// imports come back byte for byte through export-csv's round trip and read
// right through korvan-sim's decoder after setup_channel.)
TEST(ChannelCsv, RowsInEveryLayout) {
  const std::string v1 = "#dali-channel-csv-version: 1\r\n#ch,entry,sa,name,...\r\n";
  const std::array<std::uint8_t, 4> levels{254, 254, 1, 254};
  const struct {
    const char* what;
    std::string csv;
    std::vector<Written> written;
  } cases[] = {
      {"a full row",
       v1 + "1,5,5,Desk,\"[0,3,15]\",254,254,1,254,7,0,\"[254,128,null,0]\"\r\n",
       {{5, 2, 5, "Desk", 0x8009, levels, 7, 0, {254, 128, 255, 0}}}},
      {"short address as a string, empty groups and scenes",
       v1 + "2,6,\"\"\"5\"\"\",A,,1,2,3,4,1,1,\r\n",
       {{6, 2, 5, "A", 0, {1, 2, 3, 4}, 1, 1, {}, 2}}},
      {"no short address, groups without brackets",
       v1 + "1,8,null,C,3,1,1,1,1,1,1,[]\r\n",
       {{8, 2, 255, "C", 0, {1, 1, 1, 1}, 1, 1, {}}}},
      {"short address beyond 63",
       v1 + "1,10,100,E,[],1,1,1,1,1,1,[]\r\n",
       {{10, 2, -1, "E", 0, {1, 1, 1, 1}, 1, 1, {}}}},
      {"FALSE and Null levels, low 8 bits",
       v1 + "1,13,1,H,[],FALSE,Null,257,-1,1,1,[]\r\n",
       {{13, 8, 1, "H", 0, {100, 255, 1, 255}, 1, 1, {}}}},
      {"the same entry twice: values replaced, flags kept",
       v1 + "1,20,1,P,[],FALSE,1,1,1,1,1,[]\r\n5,20,2,Q,[2],9,9,9,9,9,9,[9]\r\n",
       {{20, 8, 1, "P", 0, {100, 1, 1, 1}, 1, 1, {}},
        {20, 2, 2, "Q", 4, {9, 9, 9, 9}, 9, 9, {9}, 5}}},
  };
  test::TempDir dir;
  const std::string path = dir.file("in.csv");
  test::QuietConsole quiet;
  for (const Layout& l : kLayouts) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(l.firmware) + ": " + c.what);
      channel_record record;
      const Bytes fetched = test::noise(record.gear.size(), 17);
      std::copy(fetched.begin(), fetched.end(), record.gear.begin());
      Bytes want = fetched;
      for (const Written& w : c.written) expect_written(want, l, w);
      test::write_file(path, c.csv);
      EXPECT_EQ(import_channel_csv(l.firmware, path.c_str(), record, {}), IMPORT_OK);
      EXPECT_EQ(difference(record.gear.data(), want), "");
    }
  }
}

}  // namespace
}  // namespace torvi
