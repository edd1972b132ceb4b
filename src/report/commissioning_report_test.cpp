// The page's texts: markup escaped, and every byte that is no UTF-8
// character shown as "\xNN", so the page stays well-formed whatever a file
// holds; and a backup that cannot be read is a finding, not a gap.
#include "report/commissioning_report.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace torvi {
namespace {

std::string title_of(const std::string& html) {
  const std::size_t from = html.find("<title>") + 7;
  return html.substr(from, html.find("</title>") - from);
}

TEST(CommissioningReport, TextsAreEscapedAndKeptWellFormedUtf8) {
  const struct {
    std::string given, shown;
  } cases[] = {
      {"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
      {"R&D \"lab\" 'B'", "R&amp;D &quot;lab&quot; &#39;B&#39;"},
      {"Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x92\xA1", "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x92\xA1"},
      {"Caf\xE9", "Caf\\xE9"},                                   // Latin-1, no UTF-8
      {"\xC0\xAF \xE0\x80\xAF", "\\xC0\\xAF \\xE0\\x80\\xAF"},   // overlong forms
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},                       // a surrogate
      {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},              // beyond U+10FFFF
      {"\xE2\x82", "\\xE2\\x82"},                                // cut short
      {"tab\there\x7F\xC2\x85", "tab\\x09here\\x7F\\xC2\\x85"},  // control characters
  };
  for (const auto& c : cases) {
    const report_page page = report_html({}, {c.given, "today"});
    EXPECT_EQ(title_of(page.html), c.shown) << c.given;
  }
}

TEST(CommissioningReport, ABackupThatCannotBeReadIsAFinding) {
  torvi::test::TempDir dir;
  torvi::test::write_file(dir.file("notes.zip"), std::string("hello"));
  const report_page page =
      report_html({dir.file("notes.zip"), dir.file("absent.zip"), dir.path()}, {});
  EXPECT_EQ(page.findings, 3u);
  ASSERT_EQ(page.backups.size(), 3u);
  EXPECT_EQ(page.backups[0].error, "cannot be read: not a readable ZIP archive");
  EXPECT_EQ(page.backups[1].error, "cannot be read: no such file");
  EXPECT_EQ(page.backups[2].error, "cannot be read: not a file");
  for (const char* section : {"id=\"c1\"", "id=\"c2\"", "id=\"c3\"", "href=\"#c3\""}) {
    EXPECT_NE(page.html.find(section), std::string::npos) << section;
  }
}

}  // namespace
}  // namespace torvi
