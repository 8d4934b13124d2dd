#include "quor/ingest/csv_reader.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>

#include <oneapi/tbb/parallel_for.h>

#include "quor/ingest/internal/csv_scan.h"
#include "quor/ingest/internal/worker_pool.h"
#include "quor/util/utf8.h"

namespace quor::ingest {

namespace {

using internal::ChunkOut;
using internal::FieldSpan;
using internal::kQuotedRow;
using internal::read_record_fields;
#if defined(__SSE2__)
using internal::StopBytes16;
#endif

constexpr size_t kNoFieldCheck = SIZE_MAX;
std::atomic<uint64_t> g_record_reader_runs{0};

// Byte classes of an unquoted field: 1 for the delimiter and terminators.
struct StopTable {
  bool stop[256] = {};
  StopTable() { stop[static_cast<unsigned char>(',')] = stop[static_cast<unsigned char>('\r')] = stop[static_cast<unsigned char>('\n')] = true; }
};
const StopTable kStops;

// The first delimiter or terminator at or after `pos` (or `end`).
size_t scan_unquoted(const char* buf, size_t pos, size_t end) {
#if defined(__SSE2__)
  for (; pos + 16 <= end; pos += 16)
    if (const unsigned mask = StopBytes16(buf + pos).stops(); mask != 0)
      return pos + static_cast<size_t>(__builtin_ctz(mask));
#endif
  while (pos < end && !kStops.stop[static_cast<unsigned char>(buf[pos])]) ++pos;
  return pos;
}

// Unquotes the bytes of a field that starts with a quote.
void decode_quoted(std::string_view raw, std::string& out) {
  out.clear();
  size_t i = 1;  // past the opening quote
  for (;;) {
    size_t q = raw.find('"', i);
    if (q == std::string_view::npos) {
      out.append(raw.substr(i));
      return;
    }
    out.append(raw.substr(i, q - i));
    i = q + 1;
    if (i < raw.size() && raw[i] == '"') {
      out += '"';
      ++i;
      continue;
    }
    out.append(raw.substr(i));  // after the closing quote everything is literal
    return;
  }
}

// The record reader's bookkeeping: positions as it reports them.
struct Exact {
  size_t last_record_end = 0;  // bytes consumed up to the end of the last record
  uint64_t record_index = 0;   // number of the next record (the header is 0)
  std::optional<Error> error;
  std::string scratch;
};

// How a failure names the record's place: a field-count failure closes it
// with the byte; a UTF-8 failure leaves it open for the field and the byte.
enum class PositionForm { Closed, OpenForField };

std::string position_text(const char* buf, uint64_t record, size_t byte, PositionForm form) {
  uint64_t line = 1;
  for (const char* p = buf; (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(buf + byte - p)))) != nullptr; ++p)
    ++line;
  if (form == PositionForm::OpenForField) return "record " + std::to_string(record) + " (line " + std::to_string(line);
  return "record " + std::to_string(record) + " (line: " + std::to_string(line) +
         ", byte: " + std::to_string(byte) + ")";
}

// Parses records from `begin` (a record start) until the reader stands at a
// record start at or after `stop_at`, or `max_records` records were read,
// splitting each record and checking every field's UTF-8. `nfields` is the
// required field count (kNoFieldCheck: none). Failures carry the reader's
// positions.
void parse_range(const char* buf, size_t begin, size_t stop_at, size_t end, size_t nfields,
                 size_t max_records, ChunkOut& out, Exact* ex) {
  std::vector<FieldSpan> fields;
  size_t pos = begin;
  size_t records = 0;
  for (;;) {
    if (pos >= stop_at || records >= max_records) {
      out.stop = pos;
      return;
    }
    const char c0 = buf[pos];
    if (c0 == '\r' || c0 == '\n') {
      ++pos;
      continue;
    }
    const size_t rec_start = pos;
    const size_t rec_pos = ex->last_record_end;
    bool at_eof = false, quoted = false;
    pos = read_record_fields(buf, pos, end, fields, at_eof, quoted);
    const bool ended_by_cr = !at_eof && buf[pos - 1] == '\r';
    ex->last_record_end = pos;
    ++records;

    bool bad = false;
    if (nfields != kNoFieldCheck && fields.size() != nfields) {
      bad = true;
      ex->error = Error("CSV error: " + position_text(buf, ex->record_index, rec_pos, PositionForm::Closed) +
                        ": found record with " + std::to_string(fields.size()) +
                        " fields, but the previous record has " + std::to_string(nfields) +
                        " fields");
    }
    for (size_t f = 0; f < fields.size() && !bad; ++f) {
      std::string_view text(buf + fields[f].start, fields[f].end - fields[f].start);
      if (fields[f].decode) {
        decode_quoted(text, ex->scratch);
        text = ex->scratch;
      }
      const size_t valid = util::utf8_valid_up_to(text);
      if (valid != text.size()) {
        bad = true;
        ex->error = Error("CSV parse error: " + position_text(buf, ex->record_index, rec_pos, PositionForm::OpenForField) +
                          ", field: " + std::to_string(f) + ", byte: " + std::to_string(rec_pos) +
                          "): invalid utf-8: invalid UTF-8 in field " + std::to_string(f) +
                          " near byte index " + std::to_string(valid));
      }
    }
    if (bad) {
      out.error = true;
      out.stop = pos;
      return;
    }
    out.seg.rows.push_back(rec_start | (quoted ? kQuotedRow : 0));
    ++ex->record_index;
    if (at_eof) {
      out.stop = end;
      return;
    }
    if (ended_by_cr && pos < end && buf[pos] == '\n') ++pos;
  }
}

// The fields of a record in which no field begins with a quote: split at
// its commas up to its terminator, 16 bytes at a time, into `out`, which has
// room for the record's `n` fields (the parse counted them).
void split_plain(const char* buf, size_t pos, size_t end, CsvTable::FieldRef* out, size_t n) {
  size_t field = pos;
  size_t i = 0;
#if defined(__SSE2__)
  for (; pos + 16 <= end; pos += 16) {
    for (unsigned mask = StopBytes16(buf + pos).stops(); mask != 0;) {
      const size_t at = pos + static_cast<size_t>(__builtin_ctz(mask));
      out[i++] = {field, at - field, false};
      if (buf[at] != ',' || i == n) return;
      field = at + 1;
      mask &= mask - 1;
    }
  }
#endif
  for (; pos < end; ++pos) {
    const char c = buf[pos];
    if (c != ',' && c != '\r' && c != '\n') continue;
    out[i++] = {field, pos - field, false};
    if (c != ',' || i == n) return;
    field = pos + 1;
  }
  out[i] = {field, end - field, false};
}

}  // namespace

namespace internal {

size_t read_record_fields(const char* buf, size_t pos, size_t end, std::vector<FieldSpan>& fields,
                          bool& at_eof, bool& quoted) {
  fields.clear();
  at_eof = false;
  quoted = false;
  for (;;) {
    if (pos < end && buf[pos] == '"') {
      quoted = true;
      const size_t fstart = pos;
      size_t q = pos + 1;
      size_t content_end = end;
      bool complex = false;
      for (;;) {
        const void* hit = q < end ? std::memchr(buf + q, '"', end - q) : nullptr;
        if (hit == nullptr) {
          content_end = end;
          q = end;
          break;
        }
        const size_t qp = static_cast<size_t>(static_cast<const char*>(hit) - buf);
        q = qp + 1;
        if (q < end && buf[q] == '"') {
          complex = true;
          ++q;
          continue;
        }
        content_end = qp;
        break;
      }
      if (q < end && !kStops.stop[static_cast<unsigned char>(buf[q])]) {
        complex = true;
        q = scan_unquoted(buf, q, end);
      }
      if (complex)
        fields.push_back({fstart, q, true});
      else
        fields.push_back({fstart + 1, content_end, false});
      pos = q;
    } else {
      const size_t q = scan_unquoted(buf, pos, end);
      fields.push_back({pos, q, false});
      pos = q;
    }
    if (pos >= end) {
      at_eof = true;
      return end;
    }
    if (buf[pos] == ',') {
      ++pos;
      continue;
    }
    return pos + 1;  // the terminator ends the record
  }
}


}  // namespace internal

void CsvTable::split_row(size_t row, std::vector<FieldRef>& out) const {
  size_t segment = 0;
  split_row(row, out, segment);
}

void CsvTable::split_row(size_t row, std::vector<FieldRef>& out, size_t& segment) const {
  size_t s = segment;
  if (s >= segment_end_.size() || row >= segment_end_[s] || (s != 0 && row < segment_end_[s - 1])) {
    s = static_cast<size_t>(std::upper_bound(segment_end_.begin(), segment_end_.end(), row) -
                            segment_end_.begin());
    segment = s;
  }
  const size_t first = s == 0 ? 0 : segment_end_[s - 1];
  const uint64_t start = segments_[s].rows[row - first];
  const char* buf = bytes_.data();
  const size_t end = bytes_.size();
  if ((start & kQuotedRow) == 0) {
    if (out.size() != headers_.size()) out.resize(headers_.size());
    split_plain(buf, static_cast<size_t>(start), end, out.data(), out.size());
    return;
  }
  thread_local std::vector<FieldSpan> spans;
  bool at_eof = false, quoted = false;
  read_record_fields(buf, static_cast<size_t>(start & ~kQuotedRow), end, spans, at_eof, quoted);
  out.clear();
  for (const auto& f : spans) out.push_back({f.start, f.end - f.start, f.decode});
}

void CsvTable::forget_rows_before(size_t row) {
  if (row <= forgotten_rows_) return;
  forgotten_rows_ = std::min(row, rows_);
  if (row >= rows_) {
    bytes_.forget_before(bytes_.size());
    row = rows_;
  } else {
    const size_t s = static_cast<size_t>(
        std::upper_bound(segment_end_.begin(), segment_end_.end(), row) - segment_end_.begin());
    const size_t first = s == 0 ? 0 : segment_end_[s - 1];
    bytes_.forget_before(static_cast<size_t>(segments_[s].rows[row - first] & ~kQuotedRow));
  }
  // Segments wholly before `row` (segment_end_ still finds the others).
  for (size_t s = 0; s < segments_.size() && segment_end_[s] <= row; ++s)
    std::vector<uint64_t>().swap(segments_[s].rows);
}

std::string_view CsvTable::unquoted(const FieldRef& f, std::string& scratch) const {
  decode_quoted(std::string_view(bytes_.data() + f.start, f.length), scratch);
  return scratch;
}

std::string_view CsvTable::field(size_t row, size_t f, std::string& scratch) const {
  thread_local std::vector<FieldRef> refs;
  split_row(row, refs);
  return text(refs[f], scratch);
}

InputRecord CsvTable::record(size_t row) const {
  InputRecord rec;
  std::vector<FieldRef> refs;
  split_row(row, refs);
  std::string scratch;
  for (size_t f = 0; f < headers_.size(); ++f)
    rec.insert_or_assign(headers_[f], util::JsonValue(std::string(text(refs[f], scratch))));
  return rec;
}

uint64_t internal::csv_record_reader_runs_for_testing() { return g_record_reader_runs.load(); }

Result<CsvTable> parse_csv_bytes(FileBytes bytes) {
  return parse_csv_bytes(std::move(bytes), CsvParseMode::Chunked);
}

Result<CsvTable> parse_csv_bytes(FileBytes bytes, CsvParseMode mode, size_t min_chunk_bytes) {
  const bool fast = mode == CsvParseMode::Chunked;
  CsvTable table;
  const char* buf = bytes.data();
  const size_t end = bytes.size();

  // A UTF-8 byte-order mark (written by many spreadsheet exports) is not
  // part of the first header name: the header starts after it. Reported
  // byte positions still count from the start of the file.
  const bool bom = end >= 3 && std::memcmp(buf, "\xEF\xBB\xBF", 3) == 0;
  Exact ex;
  ChunkOut header;
  parse_range(buf, bom ? 3 : 0, end, end, kNoFieldCheck, 1, header, &ex);
  if (ex.error) return std::move(ex.error->add_context("read csv headers"));
  if (header.seg.rows.empty()) {
    table.bytes_ = std::move(bytes);
    return table;  // no content: no header, no records
  }
  {
    std::vector<FieldSpan> spans;
    bool at_eof = false, quoted = false;
    read_record_fields(buf, static_cast<size_t>(header.seg.rows[0] & ~kQuotedRow), end, spans, at_eof,
                       quoted);
    std::string scratch;
    for (const auto& f : spans) {
      std::string_view text(buf + f.start, f.end - f.start);
      if (f.decode) {
        decode_quoted(text, scratch);
        text = scratch;
      }
      table.headers_.emplace_back(text);
    }
  }
  const size_t nfields = table.headers_.size();
  const size_t body = header.stop;

  // Fast path: parallel chunks with a bulk UTF-8 check. Any failure (or
  // bytes that are not UTF-8 before unquoting) goes to the exact pass, which
  // reports the first failing record with its position.
  std::vector<internal::CsvSegment> segments;
  bool ok = fast && internal::find_csv_records(buf, body, end, nfields, min_chunk_bytes, segments);
  if (ok) {
    std::string_view all(buf + body, end - body);
    constexpr size_t kBlock = size_t(1) << 22;
    const size_t blocks = (all.size() + kBlock - 1) / kBlock;
    std::vector<char> block_ok(blocks, 1);
    worker_arena().execute([&] {
      oneapi::tbb::parallel_for(size_t(0), blocks, [&](size_t i) {
        // A block boundary may split a character: extend to the next lead byte.
        size_t a = i * kBlock, b = std::min(all.size(), (i + 1) * kBlock);
        while (a > 0 && a < all.size() && (static_cast<unsigned char>(all[a]) & 0xC0) == 0x80) ++a;
        while (b < all.size() && (static_cast<unsigned char>(all[b]) & 0xC0) == 0x80) ++b;
        if (a < b && !util::is_valid_utf8(all.substr(a, b - a))) block_ok[i] = 0;
      });
    });
    ok = std::all_of(block_ok.begin(), block_ok.end(), [](char c) { return c != 0; });
  }
  if (!ok) {
    if (fast) g_record_reader_runs.fetch_add(1, std::memory_order_relaxed);
    segments.clear();
    ChunkOut all;
    parse_range(buf, body, end, end, nfields, SIZE_MAX, all, &ex);
    if (ex.error) return std::move(ex.error->add_context("read csv record"));
    segments.push_back(std::move(all.seg));
  }
  size_t rows = 0;
  for (auto& s : segments) {
    rows += s.rows.size();
    table.segment_end_.push_back(rows);
  }
  table.segments_ = std::move(segments);
  table.rows_ = rows;
  table.bytes_ = std::move(bytes);
  return table;
}

Result<CsvTable> read_csv_table(const std::string& path, size_t min_chunk_bytes) {
  FileBytes bytes;
  FileReadError err{ReadStage::Open, Error("")};
  if (!read_file_bytes(path, bytes, err)) {
    if (err.stage == ReadStage::Open) return std::move(err.error).add_context("open csv file " + path);
    return std::move(err.error).add_context("read csv headers");
  }
  return parse_csv_bytes(std::move(bytes), CsvParseMode::Chunked, min_chunk_bytes);
}

}  // namespace quor::ingest
