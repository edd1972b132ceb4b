#include "import/imports.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace torvi {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::ConsoleCapture;

using Import = int (*)(const char*, const char*, channel_record&, const csv_read_options&);

int run_import(Import import, const char* firmware, const std::string& text, channel_record& record,
               std::string* out = nullptr) {
  test::TempDir dir;
  test::write_file(dir.file("in.csv"), text);
  ConsoleCapture capture;
  const int result = import(firmware, dir.file("in.csv").c_str(), record, {});
  if (out) *out = capture.out();
  return result;
}

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
  std::size_t entry_size, name, groups;
};
constexpr Layout kLayouts[] = {
    {"1.3.0", 1, 152, 94, 9788},
    {"1.3.1", 2, 160, 106, 10300},
    {"2.2.4", 3, 100, 45, 6460},
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
// the fields it writes, and nothing else.
TEST(ChannelCsv, RowsInEveryLayout) {
  const std::string v1 = "#dali-channel-csv-version: 1\r\n#ch,entry,sa,name,...\r\n";
  const std::string forty(40, 'n');
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
      {"short address 5.9, group 16",
       v1 + "1,7,5.9,B,[16],1,1,1,1,1,1,[]\r\n",
       {{7, 2, 5, "B", 0, {1, 1, 1, 1}, 1, 1, {}}}},
      {"no short address, groups without brackets",
       v1 + "1,8,null,C,3,1,1,1,1,1,1,[]\r\n",
       {{8, 2, 255, "C", 0, {1, 1, 1, 1}, 1, 1, {}}}},
      {"empty short address",
       v1 + "1,9,,D,[1],1,1,1,1,1,1,[]\r\n",
       {{9, 2, 0, "D", 2, {1, 1, 1, 1}, 1, 1, {}}}},
      {"short address beyond 63",
       v1 + "1,10,100,E,[],1,1,1,1,1,1,[]\r\n",
       {{10, 2, -1, "E", 0, {1, 1, 1, 1}, 1, 1, {}}}},
      {"fade clamps",
       v1 + "1,11,1,F,[],1,1,1,1,0,20,[]\r\n1,12,1,G,[],1,1,1,1,20,0,[]\r\n",
       {{11, 2, 1, "F", 0, {1, 1, 1, 1}, 1, 15, {}}, {12, 2, 1, "G", 0, {1, 1, 1, 1}, 15, 0, {}}}},
      {"FALSE and Null levels, low 8 bits",
       v1 + "1,13,1,H,[],FALSE,Null,257,-1,1,1,[]\r\n",
       {{13, 8, 1, "H", 0, {100, 255, 1, 255}, 1, 1, {}}}},
      {"40-character name",
       v1 + "1,14,1," + forty + ",[],1,1,1,1,1,1,[]\r\n",
       {{14, 2, 1, std::string(32, 'n'), 0, {1, 1, 1, 1}, 1, 1, {}}}},
      {"twenty scenes",
       v1 + "1,15,1,I,[],1,1,1,1,1,1,\"[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20]\"\r\n",
       {{15,
         2,
         1,
         "I",
         0,
         {1, 1, 1, 1},
         1,
         1,
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}}}},
      {"entry 63 written, 64 ignored",
       v1 + "3,63,1,J,[],1,1,1,1,1,1,[]\r\n4,64,1,K,[],1,1,1,1,1,1,[]\r\n",
       {{63, 2, 1, "J", 0, {1, 1, 1, 1}, 1, 1, {}, 3}}},
      {"11 and 13 fields ignored",
       v1 + "1,16,1,L,[],1,1,1,1,1,1\r\n1,17,1,M,[],1,1,1,1,1,1,[],x\r\n",
       {}},
      {"no version line", "1,18,1,N,[],1,1,1,1,1,1,[]\r\n", {}},
      {"version 2", "#dali-channel-csv-version: 2\r\n1,19,1,O,[],1,1,1,1,1,1,[]\r\n", {}},
      {"the same entry twice: values replaced, flags kept",
       v1 + "1,20,1,P,[],FALSE,1,1,1,1,1,[]\r\n5,20,2,Q,[2],9,9,9,9,9,9,[9]\r\n",
       {{20, 8, 1, "P", 0, {100, 1, 1, 1}, 1, 1, {}},
        {20, 2, 2, "Q", 4, {9, 9, 9, 9}, 9, 9, {9}, 5}}},
  };
  for (const Layout& l : kLayouts) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(l.firmware) + ": " + c.what);
      channel_record record;
      const Bytes fetched = test::noise(record.gear.size(), 17);
      std::copy(fetched.begin(), fetched.end(), record.gear.begin());
      Bytes want = fetched;
      for (const Written& w : c.written) expect_written(want, l, w);
      std::string out;
      EXPECT_EQ(run_import(import_channel_csv, l.firmware, c.csv, record, &out), IMPORT_OK);
      EXPECT_EQ(difference(record.gear.data(), want), "");
      EXPECT_NE(out.find(" fields, "), std::string::npos);
    }
  }
}

TEST(GroupsCsv, NamesInEveryLayout) {
  const std::string v1 = "#dali-channel-groups-csv-version: 1\n#channel,group,name\n";
  const struct {
    const char* what;
    std::string csv;
    std::vector<std::pair<unsigned, std::string>> named;
  } cases[] = {
      {"group 0", v1 + "1,0,Entrance\n", {{0, "Entrance"}}},
      {"15 written, 16 ignored", v1 + "1,15,Last\n1,16,Beyond\n", {{15, "Last"}}},
      {"2 and 4 fields ignored", v1 + "1,3\n1,3,x,y\n", {}},
      {"40-character name", v1 + "1,4," + std::string(40, 'g') + "\n", {{4, std::string(32, 'g')}}},
      {"named twice: the later row wins", v1 + "1,5,First\n1,5,Second\n", {{5, "Second"}}},
      {"no version line", "1,6,Nothing\n", {}},
  };
  for (const Layout& l : kLayouts) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(l.firmware) + ": " + c.what);
      channel_record record;
      const Bytes fetched = test::noise(record.gear.size(), 5);
      std::copy(fetched.begin(), fetched.end(), record.gear.begin());
      Bytes want = fetched;
      for (const auto& [group, name] : c.named) {
        std::uint8_t* g = want.data() + l.groups + 38 * group;
        std::memset(g, 0, 33);
        std::memcpy(g, name.data(), name.size());
        g[36] = 255;
      }
      EXPECT_EQ(run_import(import_groups_csv, l.firmware, c.csv, record), IMPORT_OK);
      EXPECT_EQ(difference(record.gear.data(), want), "");
    }
  }
}

// An expected device file, written field by field from its layout.
struct DeviceFile {
  Bytes bytes = Bytes(9564, 0);
  std::uint8_t* entry(unsigned d) { return bytes.data() + 28 + 100 * d; }
  std::uint8_t* block(unsigned d) { return bytes.data() + 3228 + 198 * d; }
  std::uint8_t* record(unsigned d, unsigned j) { return block(d) + 6 + 6 * j; }
  void device(unsigned d, std::uint32_t flags, int address, const std::string& name,
              std::uint8_t count, std::uint32_t channel_value = 1) {
    store_u32(entry(d), flags);
    if (address >= 0) entry(d)[8] = static_cast<std::uint8_t>(address);
    entry(d)[10] = count;
    entry(d)[13] = 255;
    std::memcpy(entry(d) + 80, name.data(), name.size());
    store_u32(bytes.data() + 16, channel_value);
  }
  void pair(unsigned d, unsigned j, std::uint8_t type, std::uint8_t value) {
    entry(d)[16 + 2 * j] = type;
    entry(d)[17 + 2 * j] = value;
  }
};

TEST(InputsCsv, DevicesAndInstances) {
  const std::string v1 = "#dali-channel-inputs-csv-version: 1\r\n#channel,device,...\r\n";
  // Columns 6 to 19 of a device with instances of types 1, 3 and 4.
  const std::string three =
      "\"[1,3,4]\",\"[5,6,7]\",\"[50,9]\",\"[11]\",\"[12]\",\"[13]\",\"[14]\",\"[15]\",\"[16]\","
      "\"[0,21]\",\"[0,22]\",\"[0,23]\",\"[0,0,31]\",\"[0,0,32]\"";
  const std::string no_instances = ",,,,,,,,,,,,,";
  std::string forty = "\"[";
  for (int i = 1; i <= 40; ++i) forty += std::to_string(i) + (i < 40 ? "," : "]\"");
  const struct {
    const char* what;
    std::string csv;
    std::function<void(DeviceFile&)> expect;
  } cases[] = {
      {"push button, occupancy and light sensor", v1 + "1,0,0,Keypad,0,3," + three + "\r\n",
       [](DeviceFile& f) {
         f.device(0, 3, 1, "Keypad", 3);
         f.pair(0, 0, 1, 5), f.pair(0, 1, 3, 6), f.pair(0, 2, 4, 7);
         f.block(0)[1] = 50;
         for (int k = 0; k < 6; ++k) f.record(0, 0)[k] = static_cast<std::uint8_t>(11 + k);
         f.record(0, 1)[1] = 21, f.record(0, 1)[2] = 22, f.record(0, 1)[3] = 23;
         f.record(0, 2)[1] = 31, f.record(0, 2)[2] = 32;
       }},
      {"40 instances, 40 values, null skipped",
       v1 + "2,1,5,Many,0,40," + forty + ",\"[1,null,2]\"" + no_instances.substr(1) + "\r\n",
       [](DeviceFile& f) {
         f.device(1, 3, 11, "Many", 32, 2);
         for (unsigned j = 0; j < 32; ++j) f.pair(1, j, static_cast<std::uint8_t>(j + 1), 0);
         f.entry(1)[17] = 1, f.entry(1)[19] = 2;
       }},
      {"device 31 written, 32 ignored",
       v1 + "1,31,2,Last,0,0" + no_instances + ",\r\n1,32,2,Beyond,0,0" + no_instances + ",\r\n",
       [](DeviceFile& f) { f.device(31, 3, 5, "Last", 0); }},
      {"no short address clears bit 0; 64 and above keeps column 4",
       v1 + "1,2,null,None,1,0" + no_instances + ",\r\n1,3,100,High,5,0" + no_instances + ",\r\n",
       [](DeviceFile& f) {
         f.device(2, 2, 255, "None", 0);
         f.device(3, 7, -1, "High", 0);
       }},
      {"20-character name", v1 + "1,4,1,ABCDEFGHIJKLMNOPQRST,0,0" + no_instances + ",\r\n",
       [](DeviceFile& f) { f.device(4, 3, 3, "ABCDEFGHIJKLMNOP", 0); }},
      {"19 fields ignored: nothing applied", v1 + "1,5,1,Short,0,0" + no_instances + "\r\n",
       [](DeviceFile&) {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    channel_record record;
    DeviceFile want;
    c.expect(want);
    const bool nothing = want.bytes == Bytes(9564, 0);
    EXPECT_EQ(run_import(import_inputs_csv, "2.2.4", c.csv, record),
              nothing ? IMPORT_NOTHING_APPLIED : IMPORT_OK);
    EXPECT_EQ(difference(record.device.data(), want.bytes), "");
  }
  // Below layout 3 the first row that would be applied ends the action.
  channel_record record;
  std::string out;
  EXPECT_EQ(run_import(import_inputs_csv, "1.3.1", v1 + "1,40,1,X,0,0" + no_instances + ",\r\n",
                       record, &out),
            IMPORT_STOPPED);
  EXPECT_EQ(out, "importcsv_cd\terror version 1.3.1 not supported.\r\n");
  EXPECT_EQ(difference(record.device.data(), Bytes(9564, 0)), "");
  EXPECT_EQ(
      run_import(import_inputs_csv, "1.3.1", "1,0,1,X,0,0" + no_instances + ",\r\n", record, &out),
      IMPORT_NOTHING_APPLIED);
  EXPECT_EQ(out, "20 fields, 1 rows\nimportcsv_cd\tno device row applied, nothing sent.\r\n");
}

}  // namespace
}  // namespace torvi
