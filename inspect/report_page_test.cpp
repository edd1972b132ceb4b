// The commissioning report read back as a browser reads it: with libxml2's
// HTML parser, every name of backups made against korvan-sim found in its
// table, row and column as the simulator itself decodes the files; the
// findings and exit statuses of damaged and unreadable backups; and the
// page in headless Chromium, which shows hostile names as text and prints a
// page per channel.
#include <gtest/gtest.h>
#include <libxml/HTMLparser.h>
#include <libxml/xpath.h>

#include <filesystem>
#include <memory>
#include <regex>

#include "backup/backup_contents.h"
#include "backup/backup_zip.h"
#include "inspect/inspect_test_support.h"
#include "sim/config_files.h"
#include "sim_fixture.h"

namespace torvi::inspect {
namespace {

using test::backup_into;
using test::run_inspect;
using Bytes = std::vector<std::uint8_t>;
using Rows = std::vector<std::vector<std::string>>;
using InspectSim = torvi::test::SimTest;

// A page parsed as HTML, asked with XPath.
class parsed_page {
 public:
  explicit parsed_page(const std::string& html)
      : doc_(htmlReadMemory(html.data(), static_cast<int>(html.size()), nullptr, "UTF-8",
                            HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET),
             xmlFreeDoc) {}

  // The texts of the nodes `xpath` selects, in document order.
  std::vector<std::string> texts(const std::string& xpath) const {
    std::vector<std::string> out;
    for (xmlNodePtr node : nodes(xpath)) {
      std::unique_ptr<xmlChar, decltype(xmlFree)> text(xmlNodeGetContent(node), xmlFree);
      out.emplace_back(text ? reinterpret_cast<const char*>(text.get()) : "");
    }
    return out;
  }
  // Each row `xpath` selects, as the texts of its cells.
  Rows rows(const std::string& xpath) const {
    Rows out;
    for (xmlNodePtr row : nodes(xpath)) {
      out.emplace_back();
      for (xmlNodePtr cell = row->children; cell; cell = cell->next) {
        if (cell->type != XML_ELEMENT_NODE) continue;
        std::unique_ptr<xmlChar, decltype(xmlFree)> text(xmlNodeGetContent(cell), xmlFree);
        out.back().emplace_back(reinterpret_cast<const char*>(text.get()));
      }
    }
    return out;
  }

 private:
  std::vector<xmlNodePtr> nodes(const std::string& xpath) const {
    std::unique_ptr<xmlXPathContext, decltype(&xmlXPathFreeContext)> context(
        xmlXPathNewContext(doc_.get()), xmlXPathFreeContext);
    std::unique_ptr<xmlXPathObject, decltype(&xmlXPathFreeObject)> found(
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(xpath.c_str()), context.get()),
        xmlXPathFreeObject);
    std::vector<xmlNodePtr> out;
    for (int i = 0; found && found->nodesetval && i < found->nodesetval->nodeNr; ++i) {
      out.push_back(found->nodesetval->nodeTab[i]);
    }
    return out;
  }
  std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc_;
};

std::string text_of(const std::string& path) {
  const Bytes bytes = torvi::test::read_file(path);
  return {bytes.begin(), bytes.end()};
}

std::string table(unsigned controller, unsigned channel, const char* name) {
  return "//section[@id='c" + std::to_string(controller) + "-" + std::to_string(channel) +
         "']//table[@class='" + name + "']";
}

std::string address_text(std::uint32_t flags, std::uint8_t address) {
  return flags & 1 ? std::to_string((address - 1) / 2) : "–";
}

// The gear, group and scene tables as the simulator's own reading of the
// gear file says they must be.
void expect_gear_tables(const parsed_page& page, unsigned channel, const Bytes& file) {
  korvan::GearFileInfo info;
  std::string error;
  ASSERT_TRUE(korvan::decode_gear_file(file, info, &error)) << error;
  Rows gear, matrix, scenes;
  for (const auto& e : info.entries) {
    if (!(e.flags & 1) && e.name.empty()) continue;
    const std::string index = std::to_string(e.index);
    std::string groups;
    matrix.push_back({index, e.name});
    for (unsigned g = 0; g < 16; ++g) {
      const bool in = e.groups >> g & 1;
      if (in) groups += (groups.empty() ? "" : ", ") + std::to_string(g);
      matrix.back().push_back(in ? "●" : "");
    }
    gear.push_back({index, address_text(e.flags, e.address), e.name, groups});
    for (const std::uint8_t level : e.levels) {
      gear.back().push_back(level == 255 ? "–" : std::to_string(level));
    }
    for (const unsigned n : {e.fade_rate, e.fade_time, e.device_type}) {
      gear.back().push_back(std::to_string(n));
    }
    scenes.push_back({index, e.name});
    for (const std::uint8_t level : e.scenes) {
      scenes.back().push_back(level == 255 ? "" : std::to_string(level));
    }
  }
  EXPECT_EQ(page.rows(table(1, channel, "gear") + "/tbody/tr"), gear);
  EXPECT_EQ(page.rows(table(1, channel, "matrix") + "/tbody/tr"), matrix);
  EXPECT_EQ(page.rows(table(1, channel, "scenes") + "/tbody/tr"), scenes);
  std::vector<std::string> headings = {"Entry", "Name"};
  for (unsigned g = 0; g < 16; ++g) headings.push_back(std::to_string(g) + info.group_names[g]);
  EXPECT_EQ(page.texts(table(1, channel, "matrix") + "/thead/tr/th"), headings);
}

// The device rows (a device's first row: device, short address, name,
// instance count) and each device's number of rows, one per instance.
void expect_device_table(const parsed_page& page, unsigned channel, const Bytes& file) {
  korvan::DeviceFileInfo info;
  std::string error;
  ASSERT_TRUE(korvan::decode_device_file(file, info, &error)) << error;
  Rows expected;
  for (const auto& d : info.devices) {
    if (!(d.flags & 1) && d.name.empty() && d.instance_count == 0) continue;
    expected.push_back({std::to_string(d.index), address_text(d.flags, d.address), d.name,
                        std::to_string(d.instance_count)});
    for (std::size_t j = 1; j < d.instances.size(); ++j) expected.push_back({});
  }
  Rows shown = page.rows(table(1, channel, "devices") + "/tbody/tr");
  for (auto& row : shown) row.resize(row.size() == 8 ? 4 : 0);
  EXPECT_EQ(shown, expected);
}

TEST_F(InspectSim, ReportShowsEveryNameWhereTheControllerHasIt) {
  const struct {
    const char* firmware;
    bool set_up;  // channels 1 and 2 set up from the example CSV files first
  } cases[] = {{"1.3.0", false}, {"1.3.1", false}, {"2.2.4", false}, {"2.2.4", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.firmware) + (c.set_up ? " after setup_channel" : ""));
    start_sim({.firmware = c.firmware});
    if (c.set_up) {
      torvi::test::QuietConsole quiet;
      const std::vector<std::uint32_t> one = {1}, two = {2};
      const std::string examples = TORVI_EXAMPLES;
      const std::vector<std::string> gear = {examples + "/channel.csv"},
                                     groups = {examples + "/groups.csv"},
                                     inputs = {examples + "/inputs.csv"};
      ASSERT_EQ(setup_channel(ip(), &one, &gear, nullptr, nullptr), 0);
      ASSERT_EQ(setup_channel(ip(), &one, nullptr, &groups, nullptr), 0);
      ASSERT_EQ(setup_channel(ip(), &two, nullptr, nullptr, &inputs), 0);
    }
    torvi::test::TempDir dir;
    const std::string zip = backup_into(ip(), dir.file("b"));
    const auto run = run_inspect({"report", "--out", dir.file("r.html"), zip});
    EXPECT_EQ(run.status, EXIT_GOOD) << run.err;
    EXPECT_EQ(run.out, dir.file("r.html") + ": 1 controller, 0 findings\n");
    const parsed_page page(text_of(dir.file("r.html")));
    EXPECT_EQ(page.texts("//dl/dd")[1], c.firmware);
    backup_contents contents;
    std::string error;
    ASSERT_TRUE(backup_read_zip(zip, contents, error)) << error;
    for (unsigned ch = 1; ch <= 4; ++ch) {
      SCOPED_TRACE(ch);
      expect_gear_tables(page, ch, find_channel_file(contents, ch, channel_file_kind::gear)->bytes);
      const Bytes& devices = find_channel_file(contents, ch, channel_file_kind::device)->bytes;
      if (std::string(c.firmware) == "1.3.0") {  // layout-1 device files are carried, not read
        EXPECT_TRUE(page.texts(table(1, ch, "devices")).empty());
      } else {
        expect_device_table(page, ch, devices);
      }
    }
    if (c.set_up) {
      // The example's sensor: occupancy values and light values as the
      // inputs CSV gives them.
      const Rows sensor = {
          {"1", "1", "Meeting sensor", "2", "0", "occupancy sensor", "0", "0,1,15"},
          {"1", "light sensor", "1", "1,30"}};
      const Rows shown = page.rows(table(1, 2, "devices") + "/tbody/tr");
      ASSERT_GE(shown.size(), 6u);
      EXPECT_EQ(Rows(shown.begin() + 4, shown.begin() + 6), sensor);
    }
  }
}

const Bytes kStatus = torvi::test::bytes_of(
    "{\"model_name\":\"KORVAN-4\",\"firmware_version\":\"2.2.4\",\"serial_number\":\"K4-7\","
    "\"mac\":\"00:11:22:33:44:55\"}\n");

// A controller's eight channel files, as the members of their entries.
struct entry_member {
  std::string entry, member;
  Bytes bytes;
};
std::vector<entry_member> channel_files() {
  std::vector<entry_member> files;
  for (const char* name : {"dali1", "dali2", "dali3", "dali4", "cd1", "cd2", "cd3", "cd4"}) {
    const korvan::ConfigName* config = korvan::find_config_by_name(name);
    files.push_back(
        {std::string(name) + ".tar", config->path, korvan::make_config_file(*config, "2.2.4")});
  }
  return files;
}

std::string write_backup(const std::string& path, const std::vector<entry_member>& files) {
  backup_zip zip;
  EXPECT_EQ(backup_zip_open(zip, path), 0);
  for (const entry_member& f : files) {
    EXPECT_EQ(backup_zip_add(zip, f.entry,
                             torvi::test::make_tar({{f.member, f.bytes}, {"status.txt", kStatus}})),
              0);
  }
  EXPECT_EQ(backup_zip_close(zip), 0) << zip.error;
  return path;
}

TEST(Report, FindingsComeFirstAndSetTheExitStatus) {
  torvi::test::TempDir dir;
  std::vector<entry_member> files = channel_files();
  const std::string clean = write_backup(dir.file("clean.zip"), files);
  files[0].bytes[100] ^= 1;
  files[1].member = "etc/config/dali/dali2.bin";
  korvan::seal_config_header(files[2].bytes, 9);
  files[3].bytes.resize(7000);
  korvan::seal_config_header(files[3].bytes, 3);
  const std::string damaged = write_backup(dir.file("damaged.zip"), files);
  torvi::test::write_file(dir.file("notes.txt"), std::string("hello"));

  const struct {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> findings;  // of every controller, as listed
    std::string err;
  } cases[] = {
      {{clean}, EXIT_GOOD, {}, ""},
      {{damaged},
       EXIT_PROBLEM,
       {"dali2.tar: etc/config/dali/dali2.bin: not restored: put_backup takes only "
        "'/etc/config/dali/dali2.bin' from this entry",
        "dali2.tar: /etc/config/dali/dali2.bin: not in the entry's archive: put_backup "
        "restores nothing from it",
        "dali2.tar: holds no /etc/config/dali/dali2.bin: channel 2's gear cannot be shown or "
        "restored",
        "dali1.tar: /etc/config/dali/dali1.bin: checksum 0x",
        "dali3.tar: /etc/config/dali/dali3.bin: layout version 9 is not one the tool knows",
        "dali4.tar: /etc/config/dali/dali4.bin: 7000 bytes long, where layout 3 files have 7072"},
       ""},
      {{clean, dir.file("notes.txt"), dir.file("absent.zip")},
       EXIT_PROBLEM,
       {"cannot be read: not a readable ZIP archive", "cannot be read: no such file"},
       "torvi-inspect: " + dir.file("notes.txt") +
           ": cannot be read: not a readable ZIP archive\ntorvi-inspect: " +
           dir.file("absent.zip") + ": cannot be read: no such file\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    std::vector<std::string> args = {"report"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto run = run_inspect(args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err, c.err);
    const parsed_page page(run.out);
    std::vector<std::string> findings = page.texts("//div[@class='findings']//li");
    ASSERT_EQ(findings.size(), c.findings.size());
    for (std::size_t i = 0; i < findings.size(); ++i) {
      EXPECT_EQ(findings[i].substr(0, c.findings[i].size()), c.findings[i]);
    }
    // Every backup has its section, and the contents link to each.
    EXPECT_EQ(page.texts("//section[@class='controller' or @class='controller brk']").size(),
              c.args.size());
    const std::vector<std::string> links = page.texts("//a/@href");
    EXPECT_EQ(links.size(), c.args.size() > 1 ? c.args.size() : 0);
    for (const std::string& link : links) {
      EXPECT_EQ(page.texts("//*[@id='" + link.substr(1) + "']").size(), 1u) << link;
    }
  }
}

TEST(Report, UsageAndOutput) {
  torvi::test::TempDir dir;
  const std::string zip = write_backup(dir.file("b.zip"), channel_files());
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"report"},
       EXIT_USAGE,
       "torvi-inspect report: at least one BACKUP is needed\nTry 'torvi-inspect report --help'.\n"},
      {{"report", "--bogus", zip},
       EXIT_USAGE,
       "torvi-inspect report: unknown option '--bogus'\nTry 'torvi-inspect report --help'.\n"},
      {{"report", "--out"},
       EXIT_USAGE,
       "torvi-inspect report: option '--out' needs a value\nTry 'torvi-inspect report "
       "--help'.\n"},
      {{"report", "--out", dir.path(), zip},
       EXIT_PROBLEM,
       "torvi-inspect: " + dir.path() + ": cannot be written: Is a directory\n"},
  };
  for (const auto& c : cases) {
    const auto run = run_inspect(c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err, c.err);
  }
  const auto run = run_inspect({"report", "--title", "<b>Site & 'co'</b>", zip});
  EXPECT_EQ(run.status, EXIT_GOOD);
  const parsed_page page(run.out);
  EXPECT_EQ(page.texts("//title"), std::vector<std::string>{"<b>Site & 'co'</b>"});
  EXPECT_EQ(page.texts("//h1"), std::vector<std::string>{"<b>Site & 'co'</b>"});
}

// The headless Chromium Debian packages, with the flags this machine needs.
std::string chromium_command(const std::string& profile) {
  for (const char* program : {"chromium-headless-shell", "chromium"}) {
    if (!torvi::test::have_program(program)) continue;
    return std::string("timeout 120 ") + program +
           " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
           "--disable-background-networking --disable-component-update --disable-sync "
           "--user-data-dir='" +
           profile + "' ";
  }
  return {};
}

TEST_F(InspectSim, ChromiumShowsHostileNamesAsTextAndPrintsAPagePerChannel) {
  torvi::test::TempDir dir;
  const std::string browser = chromium_command(dir.file("profile"));
  if (browser.empty())
    GTEST_SKIP() << "no chromium or chromium-headless-shell: install-deps brings one";
  // Names that are markup, and one that is no UTF-8, through the imports.
  const std::string gear = "<script>alert(1)</script>", cell = "</td>", device = "<img src=x>";
  torvi::test::write_file(dir.file("c.csv"),
                          "#dali-channel-csv-version: 1\n1,0,0," + gear +
                              ",\"[0]\",254,254,1,254,7,2,\"[254]\"\n"
                              "1,1,1,Caf\xE9,\"[1]\",254,254,1,254,7,2,\"[0]\"\n");
  torvi::test::write_file(dir.file("g.csv"),
                          "#dali-channel-groups-csv-version: 1\n1,0," + cell + "\n");
  torvi::test::write_file(dir.file("i.csv"),
                          "#dali-channel-inputs-csv-version: 1\n1,0,0," + device +
                              ",0,1,\"[1]\",\"[0]\",[50],\"[1]\",\"[2]\",\"[3]\","
                              "\"[4]\",\"[5]\",\"[6]\",,,,,\n");
  {
    torvi::test::QuietConsole quiet;
    const std::vector<std::uint32_t> one = {1};
    const std::vector<std::string> c = {dir.file("c.csv")}, g = {dir.file("g.csv")},
                                   i = {dir.file("i.csv")};
    ASSERT_EQ(setup_channel(ip(), &one, &c, nullptr, nullptr), 0);
    ASSERT_EQ(setup_channel(ip(), &one, nullptr, &g, nullptr), 0);
    ASSERT_EQ(setup_channel(ip(), &one, nullptr, nullptr, &i), 0);
  }
  const std::string hostile = backup_into(ip(), dir.file("hostile"));
  start_sim({.firmware = "1.3.1"});
  const std::string plain = backup_into(ip(), dir.file("plain"));
  const std::string html = dir.file("r.html");
  ASSERT_EQ(run_inspect({"report", "--out", html, hostile, plain}).status, EXIT_GOOD);

  std::string dom;
  ASSERT_EQ(
      torvi::test::run_command(browser + "--dump-dom 'file://" + html + "' 2>/dev/null", &dom), 0);
  const parsed_page page(dom);
  EXPECT_TRUE(page.texts("//script | //img | //iframe | //object").empty());
  EXPECT_EQ(page.texts(table(1, 1, "gear") + "/tbody/tr[1]/td[3]"), std::vector<std::string>{gear});
  EXPECT_EQ(page.texts(table(1, 1, "gear") + "/tbody/tr[2]/td[3]"),
            std::vector<std::string>{"Caf\\xE9"});
  EXPECT_EQ(page.texts(table(1, 1, "matrix") + "/thead/tr/th[3]"),
            std::vector<std::string>{"0" + cell});
  EXPECT_EQ(page.texts(table(1, 1, "devices") + "/tbody/tr[1]/td[3]"),
            std::vector<std::string>{device});
  // Every name of the plain backup as text, too.
  const parsed_page written(text_of(html));
  for (const char* cells :
       {"//table[@class='gear']/tbody/tr/td[3]", "//table[@class='matrix']/thead/tr/th",
        "//table[@class='devices']/tbody/tr/td[3]"}) {
    EXPECT_EQ(page.texts(cells), written.texts(cells)) << cells;
  }

  ASSERT_EQ(torvi::test::run_command(browser + "--no-pdf-header-footer --print-to-pdf='" +
                                     dir.file("r.pdf") + "' 'file://" + html + "' 2>/dev/null"),
            0);
  const std::string pdf = text_of(dir.file("r.pdf"));
  const std::regex page_object("/Type\\s*/Page[^s]");
  const auto pages = std::distance(std::sregex_iterator(pdf.begin(), pdf.end(), page_object),
                                   std::sregex_iterator());
  // The contents, each controller, and each channel with gear on a page of its own.
  EXPECT_GE(pages, 1 + 2 + std::ssize(written.texts("//table[@class='gear']")));
}

}  // namespace
}  // namespace torvi::inspect
