#include "channel/channel_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace torvi {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::ConsoleCapture;

using test::noise;

bool checksum_verifies(Bytes file) {
  const std::uint32_t stored = load_u32(file.data() + kHeaderChecksum);
  store_u32(file.data() + kHeaderChecksum, 0);
  return stored == config_crc16(file.data(), file.size());
}

// The one member of an archive built by a memory writer.
struct Member {
  std::string name;
  Bytes data;
};
Member only_member(tar_stream& writer) {
  tar_finalize(writer);
  Bytes archive = tar_memory_take(writer);
  tar_stream reader;
  tar_open_memory_reader(reader, archive);
  tar_header header;
  EXPECT_EQ(tar_read_header(reader, header), TAR_OK);
  Member m{header.name, Bytes(header.size)};
  EXPECT_EQ(tar_read_data(reader, m.data), TAR_OK);
  EXPECT_EQ(tar_next(reader), TAR_OK);
  EXPECT_EQ(tar_read_header(reader, header), TAR_ERR_NULL_RECORD) << "more than one member";
  return m;
}

TEST(ChannelFile, Crc16CheckValues) {
  const struct {
    std::string text;
    std::uint16_t crc;
  } cases[] = {{"123456789", 0x6F91}, {"abc", 0x61DA}, {"", 0xFFFF}};
  for (const auto& c : cases) {
    EXPECT_EQ(config_crc16(reinterpret_cast<const std::uint8_t*>(c.text.data()), c.text.size()),
              c.crc)
        << c.text;
  }
}

TEST(ChannelFile, LayoutForFirmwareComparesText) {
  const struct {
    std::span<const layout_row> table;
    const char* version;
    int index;
  } cases[] = {
      {firmware_layout_table, "1.0.0", 0},    {firmware_layout_table, "1.2.9", 0},
      {firmware_layout_table, "1.3.0", 1},    {firmware_layout_table, "1.3.1", 2},
      {firmware_layout_table, "1.4.7", 2},    {firmware_layout_table, "1.5.0", 3},
      {firmware_layout_table, "2.0.0", 3},    {firmware_layout_table, "0.9.9", 0},
      {firmware_layout_table, "1.10.0", 0},   {firmware_layout_table, "", 0},
      {firmware_layout_table, "1.3", 0},      {firmware_layout_table, "1.3.0-rc1", 1},
      {cd_restore_layout_table, "1.3.0", 0},  {cd_restore_layout_table, "1.5.0", 2},
      {cd_restore_layout_table, "2.2.3", 2},  {cd_restore_layout_table, "2.2.4", 3},
      {cd_restore_layout_table, "10.0.0", 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(layout_for_firmware(c.table, c.version), c.index)
        << c.version << (c.table.data() == cd_restore_layout_table.data() ? " (cd)" : "");
  }
}

// The gear file goes out in the layout the firmware selects: version and
// checksum are stamped, the length field and counter are kept as read
// unless no gear file was read at all. (The device file, always layout 3,
// is read back by korvan-sim's decoder after setup_channel.)
TEST(ChannelFile, WriteGearFileStampsTheFirmwaresLayout) {
  const struct {
    const char* firmware;
    std::uint32_t length_field;  // as read from the controller
    std::uint32_t version;
    std::size_t size;
    std::uint32_t written_length_field;
  } cases[] = {
      {"1.3.0", 0, 1, 11168, 11168},     {"1.3.1", 0, 2, 10912, 10912},
      {"1.5.0", 0, 3, 7072, 7072},       {"2.2.4", 7072, 3, 7072, 7072},
      {"1.0.0", 11168, 1, 11168, 11168}, {"1.5.0", 10912, 3, 7072, 10912},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.firmware);
    channel_record record;
    const Bytes body = noise(record.gear.size(), 3);
    std::copy(body.begin(), body.end(), record.gear.begin());
    config_header_store(record.gear.data(), {c.length_field, 0xDEAD, 9, 5});
    tar_stream writer;
    tar_open_memory_writer(writer);
    ASSERT_EQ(write_gear_file(writer, c.firmware, 2, record), 0);
    const Member m = only_member(writer);
    EXPECT_EQ(m.name, "/etc/config/dali/dali2.bin");
    ASSERT_EQ(m.data.size(), c.size);
    const config_header h = config_header_load(m.data.data());
    EXPECT_EQ(h.version, c.version);
    EXPECT_EQ(h.length, c.written_length_field);
    EXPECT_EQ(h.counter, 5u);
    EXPECT_LT(h.checksum, 0x10000u);
    EXPECT_TRUE(checksum_verifies(m.data));
    EXPECT_TRUE(std::equal(m.data.begin() + kHeaderSize, m.data.end(), body.begin() + kHeaderSize));
  }
}

// Nothing is written without the controller's firmware version (a status.txt
// that gives none): no file of unknown layout is ever pushed.
TEST(ChannelFile, NoFirmwareVersionWritesNothing) {
  for (const bool device : {false, true}) {
    channel_record record;
    tar_stream writer;
    tar_open_memory_writer(writer);
    ConsoleCapture capture;
    EXPECT_EQ(device ? write_device_file(writer, nullptr, 1, record)
                     : write_gear_file(writer, nullptr, 1, record),
              1);
    EXPECT_EQ(capture.out(), "");
    EXPECT_TRUE(tar_memory_data(writer).empty()) << device;
  }
}

TEST(ChannelFile, ReadGearFileTakesTheMemberOrLeavesTheBufferCleared) {
  const std::string name = "/etc/config/dali/dali1.bin";
  const Bytes v3 = noise(7072, 1), big = noise(12000, 2);
  const Bytes status = test::bytes_of("{}");
  Bytes cut = test::make_tar({{name, v3}});
  cut.resize(512 + 4000);
  const struct {
    const char* what;
    Bytes archive;
    int result;
    std::string out;
    Bytes expected;  // the start of the buffer; the rest is zero
  } cases[] = {
      {"layout 3", test::make_tar({{"status.txt", status}, {name, v3}}), 0, "", v3},
      {"longer than any layout", test::make_tar({{name, big}}), 0, "",
       Bytes(big.begin(), big.begin() + 11168)},
      {"not a tar",
       test::bytes_of(std::string(2000, 'x')),
       1,
       "backup\terror '" + name + "' file not found.\r\n",
       {}},
      {"empty member",
       test::make_tar({{name, {}}}),
       1,
       "backup\terror '" + name + "' file size error\r\n",
       {}},
      {"cut short", cut, 1, "backup\terror reading '" + name + "'\r\n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    channel_record record;
    record.gear.fill(0xAA);
    ConsoleCapture capture;
    EXPECT_EQ(read_gear_file(c.archive, 1, record), c.result);
    EXPECT_EQ(capture.out(), c.out);
    Bytes expected = c.expected;
    expected.resize(record.gear.size(), 0);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), record.gear.begin()));
  }
}

}  // namespace
}  // namespace torvi
