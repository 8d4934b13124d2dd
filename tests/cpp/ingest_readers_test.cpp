#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "temp_dir.h"
#include "quor/ingest/csv_reader.h"
#include "quor/ingest/batch_apply.h"
#include "quor/ingest/readers.h"
#include "quor/store/directory.h"
#include "quor/util/utf8.h"

namespace quor::ingest {
namespace {

namespace fs = std::filesystem;

using quor::test_util::TempDir;

FileBytes bytes_of(std::string_view s) { return FileBytes::copy_of(s); }

// Every record as its fields, in header order.
std::vector<std::vector<std::string>> rows_of(const CsvTable& t) {
  std::vector<std::vector<std::string>> out;
  std::string scratch;
  for (size_t r = 0; r < t.num_rows(); ++r) {
    out.emplace_back();
    for (size_t f = 0; f < t.num_fields(); ++f) out.back().emplace_back(t.field(r, f, scratch));
  }
  return out;
}

std::string csv_error(std::string_view input) {
  auto r = parse_csv_bytes(bytes_of(input));
  return r.ok() ? "ok" : r.error().full_text();
}

TEST(InputDispatch, ExtensionDecidesBeforeAnyOpen) {
  EXPECT_EQ(*input_format_for("dir/data.CSV"), InputFormat::Csv);
  EXPECT_EQ(*input_format_for("data.JsonL"), InputFormat::JsonLines);
  EXPECT_EQ(*input_format_for("data.json"), InputFormat::JsonLines);
  EXPECT_EQ(*input_format_for("dir.csv/"), InputFormat::Csv);
  const std::string unsupported = "unsupported ingestion format '{}'; expected csv/json/parquet";
  TempDir dir;
  auto db = store::create_database(dir.path() / "db", true);
  ASSERT_TRUE(db.ok()) << db.error().full_text();
  auto msg = [&](std::string_view p) {
    return ingest_file(*db, std::string(p), IngestOptions{}, 10000, false).error().full_text();
  };
  // None of these files exists: the refusal comes before the open.
  EXPECT_EQ(msg("/nonexistent/data.csv.gz"),
            "unsupported ingestion format 'gz'; expected csv/json/parquet");
  EXPECT_EQ(msg("/nonexistent/data"), "unsupported ingestion format ''; expected csv/json/parquet");
  EXPECT_EQ(msg("/nonexistent/.csv"), "unsupported ingestion format ''; expected csv/json/parquet");
  EXPECT_EQ(msg("/nonexistent.csv/data"),
            "unsupported ingestion format ''; expected csv/json/parquet");
  EXPECT_EQ(msg("/nonexistent/DATA.PARQUET"),
            "parquet ingestion requires enabling the 'parquet' feature");
  EXPECT_EQ(msg("/nonexistent/x.Csv"),
            "open csv file /nonexistent/x.Csv: No such file or directory (os error 2)");
  EXPECT_EQ(msg("/nonexistent/x.jsonl"),
            "open json file /nonexistent/x.jsonl: No such file or directory (os error 2)");
}

TEST(CsvReader, RecordsPairHeadersAndKeepTheLaterDuplicate) {
  TempDir dir;
  auto table = read_csv_table(dir.write("d.csv", "b,a,b\n1,2,3\n"));
  ASSERT_TRUE(table.ok()) << table.error().full_text();
  ASSERT_EQ(table->num_rows(), 1u);
  const InputRecord r = table->record(0);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r.begin()->first, "a");
  EXPECT_EQ(r.at("a"), util::JsonValue("2"));
  EXPECT_EQ(r.at("b"), util::JsonValue("3"));  // a text, not a number
}

TEST(CsvReader, Dialect) {
  struct Case {
    std::string input;
    std::vector<std::string> headers;
    std::vector<std::vector<std::string>> rows;
  };
  const std::vector<Case> cases = {
      {"", {}, {}},
      {"a,b\n", {"a", "b"}, {}},
      {"\n\r\na,b\n\n\n1,2\n\r\n", {"a", "b"}, {{"1", "2"}}},
      {"a,b\r\n1,2\r\n3,4", {"a", "b"}, {{"1", "2"}, {"3", "4"}}},
      {"a,b\r1,2\r3,4\r", {"a", "b"}, {{"1", "2"}, {"3", "4"}}},
      {" a , b\n 1 ,\t2 \n", {" a ", " b"}, {{" 1 ", "\t2 "}}},
      {"a,b\n,\n", {"a", "b"}, {{"", ""}}},
      {"a,b\n\"x,y\",\"say \"\"hi\"\"\"\n", {"a", "b"}, {{"x,y", "say \"hi\""}}},
      {"a,b\n\"line\nbreak\",\"cr\r\n\"\n", {"a", "b"}, {{"line\nbreak", "cr\r\n"}}},
      {"a,b\n\"ab\"cd,x\"y\"\n", {"a", "b"}, {{"abcd", "x\"y\""}}},
      {"a,b\n\"ab\"\"\"c\"d,1\n", {"a", "b"}, {{"ab\"c\"d", "1"}}},
      {"a\n\"open to the end", {"a"}, {{"open to the end"}}},
      {"a,b\n1,", {"a", "b"}, {{"1", ""}}},
      {"\"h,1\",h2\n1,2\n", {"h,1", "h2"}, {{"1", "2"}}},
      {"a\n\xC3\xA9\n", {"a"}, {{"\xC3\xA9"}}},
      // Bytes that are not UTF-8 before unquoting but are after it.
      {"a\n\"\xC3\"\xA9\n", {"a"}, {{"\xC3\xA9"}}},
  };
  for (const auto& c : cases) {
    auto t = parse_csv_bytes(bytes_of(c.input));
    ASSERT_TRUE(t.ok()) << c.input << ": " << t.error().full_text();
    EXPECT_EQ(t->headers(), c.headers) << c.input;
    EXPECT_EQ(rows_of(*t), c.rows) << c.input;
  }
}

TEST(CsvReader, FailureMessagesNameTheFirstFailingRecord) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a,b,c\n1,2,3\n4,5\n",
       "read csv record: CSV error: record 2 (line: 3, byte: 12): found record with 2 fields, "
       "but the previous record has 3 fields"},
      {"a\n1,2\n",
       "read csv record: CSV error: record 1 (line: 2, byte: 2): found record with 2 fields, "
       "but the previous record has 1 fields"},
      // The line feed of a CRLF pair is read with the next record; empty lines too.
      {"a,b\r\n1\r\n",
       "read csv record: CSV error: record 1 (line: 1, byte: 4): found record with 1 fields, "
       "but the previous record has 2 fields"},
      {"a,b\n\n\n1\n",
       "read csv record: CSV error: record 1 (line: 2, byte: 4): found record with 1 fields, "
       "but the previous record has 2 fields"},
      {"a,b\nx,\xFF\n1\n",
       "read csv record: CSV parse error: record 1 (line 2, field: 1, byte: 4): invalid utf-8: "
       "invalid UTF-8 in field 1 near byte index 0"},
      {"a,b\nxy\xC3,1,2\n",
       "read csv record: CSV error: record 1 (line: 2, byte: 4): found record with 3 fields, "
       "but the previous record has 2 fields"},
      {"a,b\n\"x\ny\",ok\xE2\x82\n",
       "read csv record: CSV parse error: record 1 (line 2, field: 1, byte: 4): invalid utf-8: "
       "invalid UTF-8 in field 1 near byte index 2"},
      {"h\xFF\n1\n",
       "read csv headers: CSV parse error: record 0 (line 1, field: 0, byte: 0): invalid utf-8: "
       "invalid UTF-8 in field 0 near byte index 1"},
  };
  for (const auto& [input, message] : cases) EXPECT_EQ(csv_error(input), message) << input;
}

// A UTF-8 byte-order mark at the very start is read as if it were absent;
// anywhere else it is an ordinary character. Error positions count the
// file's bytes, the mark included.
TEST(CsvReader, ByteOrderMarkAtTheStartIsSkipped) {
  const std::string bom = "\xEF\xBB\xBF";
  struct Case {
    std::string input;
    std::vector<std::string> headers;
    std::vector<std::vector<std::string>> rows;
  };
  const std::vector<Case> cases = {
      {bom + "time,v\n2024,1\n", {"time", "v"}, {{"2024", "1"}}},
      {bom + "time,v\r\n2024,1\r\n", {"time", "v"}, {{"2024", "1"}}},
      {bom + "\"time\",v\n\"2024\",1\n", {"time", "v"}, {{"2024", "1"}}},
      {bom + "\n\ntime\n1\n", {"time"}, {{"1"}}},
      {bom, {}, {}},
      {bom + "\r\n", {}, {}},
      // Only the first mark is dropped; a later one belongs to the text.
      {bom + bom + "a\n1\n", {bom + "a"}, {{"1"}}},
      {"a,b\n" + bom + "x,y\n", {"a", "b"}, {{bom + "x", "y"}}},
  };
  for (const auto& c : cases) {
    auto t = parse_csv_bytes(bytes_of(c.input));
    ASSERT_TRUE(t.ok()) << c.input << ": " << t.error().full_text();
    EXPECT_EQ(t->headers(), c.headers) << c.input;
    EXPECT_EQ(rows_of(*t), c.rows) << c.input;
  }
  EXPECT_EQ(csv_error(bom + "a,b\n1\n"),
            "read csv record: CSV error: record 1 (line: 2, byte: 7): found record with 1 fields, "
            "but the previous record has 2 fields");
  // An incomplete mark is no mark (and not UTF-8 either).
  EXPECT_EQ(csv_error("\xEF\xBB" "a\n1\n"),
            "read csv headers: CSV parse error: record 0 (line 1, field: 0, byte: 0): invalid "
            "utf-8: invalid UTF-8 in field 0 near byte index 0");

  // Through the file reader, as an ingest reads it.
  TempDir dir;
  auto table = read_csv_table(dir.write("bom.csv", bom + "time,v\n2024,1\n"));
  ASSERT_TRUE(table.ok()) << table.error().full_text();
  ASSERT_EQ(table->num_rows(), 1u);
  EXPECT_EQ(table->record(0).at("time"), util::JsonValue("2024"));
}

TEST(CsvReader, FileErrors) {
  TempDir dir;
  fs::create_directory(dir.path() / "folder.csv");
  auto r = read_csv_table((dir.path() / "folder.csv").string());
  EXPECT_EQ(r.error().full_text(), "read csv headers: Is a directory (os error 21)");
}

// A large input goes through parallel chunks; quoted line breaks, CRLF and
// empty lines at arbitrary places must not move records or errors.
TEST(CsvReader, LargeInputMatchesItsSource) {
  std::mt19937_64 rng(7);
  std::string text = "id,name,note\n";
  std::vector<std::vector<std::string>> expect;
  const char* notes[] = {"plain", "with,comma", "two\nlines", "say \"x\"", "cr\r\nlf", "", "é"};
  for (int i = 0; i < 200000; ++i) {
    std::string id = std::to_string(i);
    std::string name = "n" + std::to_string(rng() % 1000);
    std::string note = notes[rng() % 7];
    bool quote = note.find_first_of(",\n\r\"") != std::string::npos || rng() % 5 == 0;
    std::string q = note;
    if (quote) {
      q.clear();
      q += '"';
      for (char c : note) q += c == '"' ? std::string("\"\"") : std::string(1, c);
      q += '"';
    }
    text += id + "," + name + "," + q + (rng() % 3 == 0 ? "\r\n" : "\n");
    if (rng() % 50 == 0) text += "\n";
    expect.push_back({id, name, note});
  }
  ASSERT_GT(text.size(), size_t(3) << 20);
  auto t = parse_csv_bytes(bytes_of(text));
  ASSERT_TRUE(t.ok()) << t.error().full_text();
  EXPECT_EQ(rows_of(*t), expect);

  // A quoted field with many line feeds spanning several chunks.
  std::string big_note;
  for (int i = 0; i < 400000; ++i) big_note += "x,\n";
  std::string with_big = text + "999999,big,\"" + big_note + "\"\n" + text.substr(13);
  auto t2 = parse_csv_bytes(bytes_of(with_big));
  ASSERT_TRUE(t2.ok()) << t2.error().full_text();
  auto rows2 = rows_of(*t2);
  ASSERT_EQ(rows2.size(), expect.size() * 2 + 1);
  EXPECT_EQ(rows2[expect.size()], (std::vector<std::string>{"999999", "big", big_note}));
  EXPECT_EQ(rows2.back(), expect.back());

  // One short record late in a large file: the exact position is reported.
  std::string small = "a,b\n1,2\n";
  for (int i = 0; i < 300000; ++i) small += "3,4\n";
  small += "5\n6,7\n";
  const size_t byte = small.size() - 6;
  EXPECT_EQ(csv_error(small), "read csv record: CSV error: record 300002 (line: 300003, byte: " +
                                  std::to_string(byte) +
                                  "): found record with 1 fields, but the previous record has 2 fields");
}

// The ingest reads a mapped file's rows in order and lets the rows behind it
// go (their pages dropped, their record starts freed). The rows ahead read
// the same as in a table that forgot nothing, wherever a page or a chunk
// border falls: inside a quoted field with line feeds and doubled quotes,
// between CR and LF, after a byte-order mark; forgetting again, backwards
// or past the end changes nothing.
TEST(CsvReader, ForgottenRowsLeaveTheRowsAheadIntact) {
  std::mt19937_64 rng(5);
  std::string text = "\xEF\xBB\xBFid,note\r\n";
  const char* notes[] = {"plain", "\"two\nlines\"", "\"say \"\"x\"\"\"", "\"cr\r\nlf\"", "", "\xC3\xA9"};
  for (int i = 0; i < 150000; ++i) {
    text += std::to_string(i) + "," + notes[rng() % 6];
    if (i % 5000 == 17) text += std::string(9000, 'w');  // a field across pages
    text += rng() % 2 == 0 ? "\r\n" : "\n";
    if (i % 7000 == 3) text += "q,\"" + std::string(5000, '\n') + "\"\n";
  }
  ASSERT_GT(text.size(), size_t(2) << 20);  // read in parallel chunks
  TempDir dir;
  const auto path = dir.path() / "rows.csv";
  std::ofstream(path, std::ios::binary) << text;
  auto whole = parse_csv_bytes(bytes_of(text));
  ASSERT_TRUE(whole.ok()) << whole.error().full_text();
  const auto want = rows_of(*whole);
  for (size_t step : {size_t(1), size_t(997), size_t(20000)}) {
    SCOPED_TRACE("rows of " + std::to_string(step));
    auto mapped = read_csv_table(path.string());
    ASSERT_TRUE(mapped.ok()) << mapped.error().full_text();
    ASSERT_EQ(mapped->num_rows(), want.size());
    std::string scratch;
    for (size_t pos = 0; pos < want.size(); pos += step) {
      const size_t end = std::min(want.size(), pos + step);
      for (size_t r = pos; r < end; ++r)
        for (size_t f = 0; f < 2; ++f)
          ASSERT_EQ(mapped->field(r, f, scratch), want[r][f]) << "row " << r;
      mapped->forget_rows_before(end);
      mapped->forget_rows_before(pos);
    }
    mapped->forget_rows_before(want.size() + 5);
    EXPECT_EQ(mapped->num_rows(), want.size());
  }
}

// The chunked scan finds records without splitting them; the
// record-by-record reader splits and checks every field. On inputs made of
// the bytes that matter (delimiters, quotes, CR, LF, a leading byte-order
// mark, UTF-8 and non-UTF-8, ragged and cut-off rows),
// cut into chunks of a few bytes, both give the same table or the same error.
TEST(CsvReader, ChunkedScanAgreesWithTheRecordReader) {
  const std::vector<std::string> pieces = {"a", "bc", ",", ",", "\"", "\"\"", "\n", "\r", "\r\n",
                                           "\n\n", "\xC3\xA9", "\xFF", "x\"y", " "};
  std::mt19937_64 rng(11);
  size_t tables = 0, errors = 0;
  for (size_t chunk : {size_t(1), size_t(7), size_t(64), size_t(200)}) {
    for (int round = 0; round < 3000; ++round) {
      // Mostly well-formed: rows of the header's width, with an odd piece.
      const size_t width = 1 + rng() % 4;
      std::string text;
      const size_t rows = 1 + rng() % 40;
      for (size_t r = 0; r < rows; ++r) {
        for (size_t f = 0; f < width; ++f) {
          if (f > 0) text += ',';
          const int kind = static_cast<int>(rng() % 10);
          if (kind < 6) text += "v" + std::to_string(rng() % 100);
          else if (kind < 8) text += "\"q,\n\"\"" + std::to_string(rng() % 10) + "\"";
          else text += pieces[rng() % pieces.size()];
        }
        text += rng() % 4 == 0 ? "\r\n" : (rng() % 8 == 0 ? "\n\n" : "\n");
      }
      if (rng() % 3 == 0) text.resize(rng() % (text.size() + 1));
      if (rng() % 8 == 0) text = "\xEF\xBB\xBF" + text;
      const uint64_t runs = internal::csv_record_reader_runs_for_testing();
      auto fast = parse_csv_bytes(bytes_of(text), CsvParseMode::Chunked, chunk);
      auto plain = parse_csv_bytes(bytes_of(text), CsvParseMode::RecordByRecord);
      ASSERT_EQ(fast.ok(), plain.ok()) << testing::PrintToString(text);
      // A readable file of UTF-8 bytes never needs the slow reader.
      if (plain.ok() && util::is_valid_utf8(text)) {
        EXPECT_EQ(internal::csv_record_reader_runs_for_testing(), runs) << testing::PrintToString(text);
      }
      if (!fast.ok()) {
        ++errors;
        EXPECT_EQ(fast.error().full_text(), plain.error().full_text()) << testing::PrintToString(text);
        continue;
      }
      ++tables;
      EXPECT_EQ(fast->headers(), plain->headers()) << testing::PrintToString(text);
      EXPECT_EQ(rows_of(*fast), rows_of(*plain)) << testing::PrintToString(text);
    }
  }
  // Both outcomes were exercised.
  EXPECT_GT(tables, 1000u);
  EXPECT_GT(errors, 1000u);
}

// Chunks over records of very different lengths, quoted and not, in one
// chunk or many: the table must be the record reader's, every record in
// place.
TEST(CsvReader, ChunksOfUnevenRecordsKeepEveryRecord) {
  struct Shape {
    const char* name;
    size_t long_rows, short_rows;
    size_t chunk;
  };
  const std::vector<Shape> shapes = {
      {"long then short, one chunk", 5000, 40000, 1u << 30},
      {"long then short, chunks of 64 KiB", 5000, 40000, 64u << 10},
      {"short then long, chunks of 64 KiB", 0, 40000, 64u << 10},
  };
  for (const Shape& sh : shapes) {
    SCOPED_TRACE(sh.name);
    std::string text = "a,b\n";
    for (size_t i = 0; i < sh.long_rows; ++i) text += std::string(60, 'x') + std::to_string(i) + ",1\n";
    for (size_t i = 0; i < sh.short_rows; ++i) text += std::to_string(i % 10) + ",\"q\"\n";
    if (sh.long_rows == 0)
      for (size_t i = 0; i < 5000; ++i) text += std::string(60, 'y') + std::to_string(i) + ",2\n";
    auto fast = parse_csv_bytes(bytes_of(text), CsvParseMode::Chunked, sh.chunk);
    auto plain = parse_csv_bytes(bytes_of(text), CsvParseMode::RecordByRecord);
    ASSERT_TRUE(fast.ok() && plain.ok());
    EXPECT_EQ(fast->num_rows(), plain->num_rows());
    EXPECT_EQ(rows_of(*fast), rows_of(*plain));
  }
}

}  // namespace
}  // namespace quor::ingest
