// Internal to the CSV reader: the pieces its record-by-record reader and its
// parallel record finder share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quor/ingest/csv_reader.h"

namespace quor::ingest::internal {

// A record start's top bit: a field of the record begins with a quote.
constexpr uint64_t kQuotedRow = uint64_t(1) << 63;

// Where a field's bytes lie; `decode` when they need unquoting.
struct FieldSpan {
  size_t start;
  size_t end;
  bool decode;
};

// The record starts that a pass over a stretch found, where it stopped, and
// whether a record failed (too few or too many fields).
struct ChunkOut {
  CsvSegment seg;
  size_t stop = 0;
  bool error = false;
};

// Reads the fields of the record that starts at `pos` (which is not a
// terminator). Returns the position after its terminator (or the end).
size_t read_record_fields(const char* buf, size_t pos, size_t end, std::vector<FieldSpan>& fields,
                          bool& at_eof, bool& quoted);

// The records of buf[begin, end) (after the header), each of `nfields`
// fields, in parallel chunks of at least `min_chunk` bytes (0: 1 MiB) when
// the input is large, into `segments` in file order. Checks the field
// counts, not the UTF-8. False when any record fails: the record-by-record
// reader then reports it.
bool find_csv_records(const char* buf, size_t begin, size_t end, size_t nfields, size_t min_chunk,
                      std::vector<CsvSegment>& segments);

#if defined(__SSE2__)
// Which of the 16 bytes at `p` are a comma and which are CR or LF: the one
// place the reader's stop bytes are matched 16 at a time. The masks have bit
// i for byte i.
struct StopBytes16 {
  __m128i comma, end;
  explicit StopBytes16(const char* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    comma = _mm_cmpeq_epi8(v, _mm_set1_epi8(','));
    end = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
  }
  static unsigned bits(__m128i m) { return static_cast<unsigned>(_mm_movemask_epi8(m)); }
  unsigned stops() const { return bits(_mm_or_si128(comma, end)); }
};
#endif

}  // namespace quor::ingest::internal
