// Raw-log lines appended one call at a time, each call opening and closing
// the segment: the plain form the tests hold the ingest's appender
// (store::RawLogAppender) to, and a hand road into a log for the tests.
#pragma once

#include <cstdint>
#include <span>

#include "quor/store/raw_log.h"
#include "quor/util/error.h"
#include "quor/util/json_value.h"

namespace quor::reference {

// Appends {"payload":...,"record_id":N} and a line feed to the segment
// ("open raw segment {segment}", "append raw line"). A last line left
// without its line feed by an earlier failure is completed first.
Status append_raw_record(const store::RawLog& log, uint64_t record_id, const util::JsonValue& payload);

// As append_raw_record for each payload in turn, with the ids first_id,
// first_id + 1, ...: the same bytes on disk, the segment opened once.
Status append_raw_records(const store::RawLog& log, uint64_t first_id,
                          std::span<const util::JsonValue> payloads);

}  // namespace quor::reference
