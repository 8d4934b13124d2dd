// The CSV reader: a header row, "," between fields, double-quote quoting with
// doubled quotes inside, records ending at LF, CR or CRLF, empty lines
// skipped, no trimming, a fixed field count, UTF-8 fields.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quor/ingest/file_bytes.h"
#include "quor/ingest/input_record.h"
#include "quor/util/error.h"

namespace quor::ingest {

// How parse_csv_bytes finds the records (see there).
enum class CsvParseMode { RecordByRecord, Chunked };

namespace internal {
// Record starts of one parsed stretch of a file (top bit: a field of the
// record begins with a quote).
struct CsvSegment {
  std::vector<uint64_t> rows;
};
}  // namespace internal

// A parsed CSV file held as its bytes plus where every record starts: the
// column-indexed form of the record list. The parse finds record ends and
// counts each record's fields without keeping where they lie; a record is
// split into its fields once, when it is read (split_row), so that only the
// records in flight ever have field offsets.
class CsvTable {
 public:
  CsvTable() = default;
  CsvTable(CsvTable&&) noexcept = default;
  CsvTable& operator=(CsvTable&&) noexcept = default;

  // Header names in file order (duplicates kept).
  const std::vector<std::string>& headers() const { return headers_; }
  size_t num_rows() const { return rows_; }
  size_t num_fields() const { return headers_.size(); }

  // Where one field's bytes lie; `decode` when they need unquoting.
  struct FieldRef {
    size_t start = 0;
    size_t length = 0;
    bool decode = false;
  };
  // The fields of data row `row`, in file order (num_fields() of them).
  // `segment` is where the rows' starts are looked for first, and is left
  // where this row's were: a caller reading rows in order keeps it from
  // call to call (starting from 0) and finds each row without a search.
  void split_row(size_t row, std::vector<FieldRef>& out) const;
  void split_row(size_t row, std::vector<FieldRef>& out, size_t& segment) const;
  // A field's text; `scratch` receives it when it needs unquoting. The view
  // is valid until the table or `scratch` changes.
  std::string_view text(const FieldRef& f, std::string& scratch) const {
    if (!f.decode) return {bytes_.data() + f.start, f.length};
    return unquoted(f, scratch);
  }

  // Field `field` of data row `row` as text (see text()).
  std::string_view field(size_t row, size_t field, std::string& scratch) const;

  // Rows before `row` will not be read again (reading one afterwards is an
  // error): what holds only their bytes and record starts goes back to the
  // system, so that a pass over the rows in order holds the file's memory
  // only for the rows still ahead.
  void forget_rows_before(size_t row);

  // Row `row` as an input record: the i-th header paired with the i-th field,
  // each a JSON text, a later equal header replacing an earlier one.
  InputRecord record(size_t row) const;

 private:
  friend Result<CsvTable> parse_csv_bytes(FileBytes bytes, CsvParseMode mode, size_t min_chunk_bytes);
  std::string_view unquoted(const FieldRef& f, std::string& scratch) const;
  FileBytes bytes_;
  std::vector<std::string> headers_;
  std::vector<internal::CsvSegment> segments_;
  std::vector<size_t> segment_end_;  // cumulative row counts
  size_t rows_ = 0;
  size_t forgotten_rows_ = 0;  // rows before it are not read again
};

// Parses a whole CSV file's bytes. Failures carry the context
// "read csv headers" or "read csv record" over the parser's text, e.g.
// "CSV error: record 2 (line: 3, byte: 12): found record with 2 fields, but
// the previous record has 3 fields". The first failing record in file order
// is the one reported.
Result<CsvTable> parse_csv_bytes(FileBytes bytes);
// RecordByRecord: the record-by-record reader alone, which checks each field
// as it goes; Chunked: records found in parallel chunks first, the reader
// running only to report a failure. Both give the same table or error.
// `min_chunk_bytes` is the smallest input read in parallel chunks (0: 1 MiB;
// tests lower it to put chunk borders anywhere in a small input).
Result<CsvTable> parse_csv_bytes(FileBytes bytes, CsvParseMode mode, size_t min_chunk_bytes = 0);

namespace internal {
// How often a fast parse handed the body to the record-by-record reader
// (a failure to report, or bytes that are UTF-8 only once unquoted).
uint64_t csv_record_reader_runs_for_testing();
}  // namespace internal

// Reads and parses the file; an open failure gets "open csv file {path}".
// `min_chunk_bytes` as in parse_csv_bytes.
Result<CsvTable> read_csv_table(const std::string& path, size_t min_chunk_bytes = 0);

}  // namespace quor::ingest
