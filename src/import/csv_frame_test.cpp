#include "import/csv_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace torvi {
namespace {

using test::ConsoleCapture;

constexpr csv_kind kKind = {"importtest", "#test-csv-version: ", 3};

// Every applied row as its three fields joined by "|".
struct Recorder {
  std::vector<std::string> row = std::vector<std::string>(3);
  std::vector<std::string> applied;
  csv_rows rows() {
    return {[this](const csv_field& field) { row.at(field.column) = field.text; },
            [this] {
              applied.push_back(row[0] + "|" + row[1] + "|" + row[2]);
              return csv_applied{csv_fate::applied, 7};
            },
            [this] { row.assign(3, ""); }};
  }
};

// How rows are split, counted and told apart. (A file without a version
// line, another version, rows of other widths and an empty file are
// check-csv's and setup_channel's cases.)
TEST(CsvFrame, RowsVersionsAndCounts) {
  const std::string v1 = "#test-csv-version: 1\r\n";
  const struct {
    const char* what;
    std::string text;
    std::vector<std::string> applied;
    std::string out;
    const char* fates;  // each row's fate as an observer hears it
  } cases[] = {
      {"version 1", v1 + "a,b,c\r\n", {"a|b|c"}, "4 fields, 2 rows\n", "CA"},
      {"later version line changes it",
       v1 + "a,b,c\n#test-csv-version: 3,x\nd,e,f\n#test-csv-version: 1\ng,h,i",
       {"a|b|c", "g|h|i"},
       "13 fields, 6 rows\n",
       "CACVCA"},
      {"version after its prefix only",
       "#x #test-csv-version: 1\na,b,c\n",
       {},
       "4 fields, 2 rows\n",
       "CN"},
      {"comment field later in a row", v1 + "a,#b,c\n", {}, "4 fields, 2 rows\n", "CC"},
      {"heading row as a comment",
       v1 + "#channel,group,name\n1,2,x\n",
       {"1|2|x"},
       "7 fields, 3 rows\n",
       "CCA"},
      {"quoted fields",
       v1 + "\"[0,3]\",\"say \"\"hi\"\"\",  padded  \n",
       {"[0,3]|say \"hi\"|padded"},
       "4 fields, 2 rows\n",
       "CA"},
      {"blank lines are no rows",
       v1 + "\r\n\na,b,c\r\n\r\n",
       {"a|b|c"},
       "4 fields, 2 rows\n",
       "CA"},
      {"last row without a line end", v1 + "a,b,c", {"a|b|c"}, "4 fields, 2 rows\n", "CA"},
      {"byte order mark", "\xEF\xBB\xBF" + v1 + "a,b,c\n", {"a|b|c"}, "4 fields, 2 rows\n", "CA"},
  };
  test::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::write_file(dir.file("t.csv"), c.text);
    Recorder r;
    ConsoleCapture capture;
    EXPECT_EQ(csv_import(kKind, dir.file("t.csv").c_str(), r.rows()), IMPORT_OK);
    EXPECT_EQ(r.applied, c.applied);
    EXPECT_EQ(capture.out(), c.out);

    // The same file with an observer: one fate a row, nothing printed.
    std::string fates;
    const csv_observer observer{[&](const csv_row_report& report) {
                                  static const char kLetters[] = "ACNVFIOLR";
                                  fates += kLetters[static_cast<int>(report.fate)];
                                  EXPECT_EQ(report.row, fates.size());
                                  if (report.fate == csv_fate::applied) {
                                    EXPECT_EQ(report.index, 7u);
                                    EXPECT_EQ(report.texts.size(), 3u);
                                  }
                                },
                                nullptr};
    Recorder quiet;
    ConsoleCapture silent;
    EXPECT_EQ(csv_import(kKind, dir.file("t.csv").c_str(), quiet.rows(), {nullptr, &observer}),
              IMPORT_OK);
    EXPECT_EQ(fates, c.fates);
    EXPECT_EQ(silent.out(), "");
  }
}

// The notes as "given>written" joined by "; ".
std::string notes_text(const std::vector<csv_note>& notes) {
  std::string text;
  for (const csv_note& n : notes) text += (text.empty() ? "" : "; ") + n.given + ">" + n.written;
  return text;
}

// Each reader's value, and a note for everything it did not keep as given.
// (The notes of plain numbers, words, arrays too long and values out of
// range are checked through check-csv, column by column.)
TEST(CsvFrame, FieldReadersAndTheirNotes) {
  const struct {
    const char* field;
    int value;
    const char* note;
  } addresses[] = {
      {"\"5\"", 5, ""},
      {"5.9", 5, "5.9>5"},
      {"-5.9", 251, "-5.9>251: address byte left as it was"},
      {"", 0, ""},
      {"5;6", 5, "5;6>5"},
      {"1e10", 0, "1e10>0"},
      {"[10,null,\"20\"]", 20, "[10,null,\"20\"]>20"},
      {"[[1],true,false,{\"a\":7},2]", 2, "[[1],true,false,{\"a\":7},2]>2"},
      {"[1, 2", 2, "[1, 2>2"},
  };
  for (const auto& c : addresses) {
    std::vector<csv_note> notes;
    EXPECT_EQ(csv_read_short_address({2, c.field, &notes}), c.value) << c.field;
    EXPECT_EQ(notes_text(notes), c.note) << c.field;
  }
  // Byte arrays read into 4 elements of 200, null as 255 or skipped.
  const std::vector<int> untouched = {200, 200, 200, 200};
  const struct {
    const char* field;
    std::vector<int> bytes, skipping_null;
    const char* note;  // with null as 255
  } arrays[] = {
      {"\"5\"", untouched, untouched, "\"5\">ignored: not inside an array"},
      {"", untouched, untouched, ""},
      {"abc", untouched, untouched, "abc>[]"},
      {"5;6", untouched, untouched, "5>ignored: not inside an array; 5;6>[]"},
      {"[10,null,\"20\"]", {10, 255, 20, 200}, {10, 20, 200, 200}, ""},
      {"[[1],true,false,{\"a\":7},2]",
       {1, 2, 200, 200},
       {1, 2, 200, 200},
       "true>skipped; false>skipped; \"a\">ignored: not inside an array; 7>ignored: not inside "
       "an array"},
      {"[1, 2", {1, 2, 200, 200}, {1, 2, 200, 200}, "[1, 2>[1,2]"},
      {"[256,-1,\" 7x\",1.0]", {0, 255, 7, 1}, {0, 255, 7, 1}, "256>0; -1>255; \" 7x\">7"},
  };
  for (const auto& c : arrays) {
    SCOPED_TRACE(c.field);
    std::vector<csv_note> notes;
    std::vector<std::uint8_t> bytes(4, 200), skipping(4, 200);
    csv_read_bytes({11, c.field, &notes}, bytes, 255);
    csv_read_bytes({11, c.field, nullptr}, skipping, -1);
    EXPECT_EQ(std::vector<int>(bytes.begin(), bytes.end()), c.bytes);
    EXPECT_EQ(std::vector<int>(skipping.begin(), skipping.end()), c.skipping_null);
    EXPECT_EQ(notes_text(notes), c.note);
  }
  // Integer columns: atoi's value, kept by its low bits and clamped, noted
  // unless the text is wholly that number; an empty field is not noted.
  const struct {
    const char* field;
    std::uint32_t u32;
    int u8, clamped;    // clamped into 1..15
    const char* noted;  // for u32, u8 and clamped: n noted, - not
  } integers[] = {
      {"", 0, 0, 1, "---"},      {" +7 ", 7, 7, 7, "---"},
      {"0", 0, 0, 1, "--n"},     {"255", 255, 255, 15, "--n"},
      {"256", 256, 0, 1, "-nn"}, {"99999999999999999999", 4294967295, 255, 15, "nnn"},
  };
  for (const auto& c : integers) {
    SCOPED_TRACE(c.field);
    std::vector<csv_note> notes[3];
    EXPECT_EQ(csv_read_u32({0, c.field, &notes[0]}), c.u32);
    EXPECT_EQ(csv_read_u8({5, c.field, &notes[1]}), c.u8);
    EXPECT_EQ(csv_read_u8({9, c.field, &notes[2]}, 1, 15), c.clamped);
    std::string noted;
    for (const auto& n : notes) noted += n.empty() ? '-' : 'n';
    EXPECT_EQ(noted, c.noted);
    if (!notes[2].empty()) {
      EXPECT_EQ(notes[2][0].column, 9u);
      EXPECT_EQ(notes[2][0].written, std::to_string(c.clamped));
    }
  }
}

}  // namespace
}  // namespace torvi
