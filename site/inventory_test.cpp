// The inventory as spreadsheets and hands write it: what is read, and every
// fault with the row a spreadsheet shows it on.
#include "site/inventory.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace torvi::site {
namespace {

std::vector<std::string> faults_of(const std::string& text) {
  std::vector<site_controller> controllers;
  std::vector<inventory_fault> faults;
  inventory_parse(test::bytes_of(text), controllers, faults);
  std::vector<std::string> lines;
  for (const inventory_fault& f : faults) lines.push_back(std::to_string(f.row) + ": " + f.reason);
  EXPECT_TRUE(faults.empty() || controllers.empty());
  return lines;
}

std::vector<std::string> read_of(const std::string& text) {
  std::vector<site_controller> controllers;
  std::vector<inventory_fault> faults;
  inventory_parse(test::bytes_of(text), controllers, faults);
  EXPECT_TRUE(faults.empty()) << faults.front().reason;
  std::vector<std::string> rows;
  for (const site_controller& c : controllers) {
    rows.push_back(std::to_string(c.row) + " " + c.name + " " + c.address);
  }
  return rows;
}

TEST(Inventory, SpreadsheetFormsAreRead) {
  const std::string name64(64, 'n');
  const struct {
    std::string text;
    std::vector<std::string> rows;
  } cases[] = {
      // A byte order mark, CRLF, semicolons, comment and blank rows (a
      // quoted cell spanning a line end is one row), further columns.
      {"\xEF\xBB\xBFName;ADDRESS;location\r\n# "
       "spare\r\n\r\nctl-1;10.0.0.5;\"Hall\r\nwest\"\r\n;;\r\n"
       "ctl_2.b;host-2:8080;roof\r\n",
       {"4 ctl-1 10.0.0.5", "6 ctl_2.b host-2:8080"}},
      // A comment before the heading, blanks around cells, IPv6, no final LF.
      {"#site north\nname , address\n " + name64 + " , [::1]:8080\nA,[fe80::1]",
       {"3 " + name64 + " [::1]:8080", "4 A [fe80::1]"}},
  };
  for (const auto& c : cases) EXPECT_EQ(read_of(c.text), c.rows) << c.text;
}

TEST(Inventory, EveryFaultIsNamedWithItsRow) {
  const struct {
    std::string text;
    std::vector<std::string> faults;
  } cases[] = {
      {"", {"0: no heading row (name, address)"}},
      {"name,address\n# none\n", {"0: the file names no controller"}},
      {"host,address\nctl,1.2.3.4\n",
       {"1: the heading row must start with the cells name and address"}},
      {"name,address\nctl,\"1.2.3.4\nx,y\n",
       {"2: a quote is not closed, or a quoted cell goes on after it"}},
      {"name;address\r\n\r\nctl 1;h\r\n.ctl;h2\r\nctl.;h3\r\ncom1.x;h4\r\nok;h5\r\n" +
           std::string(65, 'n') + ";h6\r\nlone\r\n",
       {"3: name 'ctl 1' holds ' ': a name takes letters, digits, '-', '_' and '.'",
        "4: name '.ctl' starts with '.'", "5: name 'ctl.' ends with '.'",
        "6: name 'com1.x' is a device on Windows, not a folder",
        "8: name '" + std::string(65, 'n') + "' is longer than 64 characters",
        "9: a row needs a name and an address"}},
      {"name,address\na,\nb,http://h/x\nc,h:0\nd,h:65536\ne,h:\nf,[::1\ng,h?x=1\nh,a b\n",
       {"2: the address is empty", "3: address 'http://h/x' is not HOST or HOST:PORT",
        "4: port 0 is not 1 to 65535", "5: port 65536 is not 1 to 65535",
        "6: address 'h:' is not HOST or HOST:PORT", "7: address '[::1' is not HOST or HOST:PORT",
        "8: address 'h?x=1' is not HOST or HOST:PORT",
        "9: address 'a b' is not HOST or HOST:PORT"}},
      {"name,address\nCtl,h1\nctl,h2\nother,H1\n",
       {"3: name 'ctl' is already on row 2", "4: address 'H1' is already on row 2"}},
  };
  for (const auto& c : cases) EXPECT_EQ(faults_of(c.text), c.faults) << c.text;
}

TEST(Inventory, UnreadableFileIsOneFault) {
  test::TempDir dir;
  std::vector<site_controller> controllers;
  std::vector<inventory_fault> faults;
  inventory_read(dir.file("none.csv"), controllers, faults);
  inventory_read(dir.path(), controllers, faults);
  ASSERT_EQ(faults.size(), 2u);
  EXPECT_EQ(faults[0].reason, "no such file");
  EXPECT_EQ(faults[1].reason, "is a folder");
}

}  // namespace
}  // namespace torvi::site
