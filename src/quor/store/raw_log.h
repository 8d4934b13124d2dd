// The raw record log: one JSON line per processed record, appended to the
// single segment "raw/log_000001.raw".
//
// A line is {"payload":<payload>,"record_id":<id>} in compact JSON (objects
// with their members in byte-wise order) followed by a line feed. The
// segment is opened and closed for every append and only ever grows.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "quor/util/error.h"
#include "quor/util/json_value.h"

namespace quor::store {

// The parts of a line, in order: kRawLineStart, the payload object,
// kRawLineIdMember, the record id in decimal, kRawLineEnd. Every writer of
// lines puts them down through these, the ingest's per-record step too
// (it writes each payload's members straight into its block of lines).
inline constexpr std::string_view kRawLineStart = "{\"payload\":";
inline constexpr std::string_view kRawLineIdMember = ",\"record_id\":";
inline constexpr std::string_view kRawLineEnd = "}\n";

// Appends one line to `out`: `write_payload(out)` appends the payload object.
template <class WritePayload>
void append_raw_line(std::string& out, std::string_view id, WritePayload&& write_payload) {
  out += kRawLineStart;
  write_payload(out);
  out += kRawLineIdMember;
  out += id;
  out += kRawLineEnd;
}

// Handle of the log; holds no open file.
struct RawLog {
  std::filesystem::path segment_path;
};

// Creates the "raw" directory and an empty segment when missing
// ("create raw dir {dir}", "create {segment}").
Result<RawLog> open_raw_log(const std::filesystem::path& raw_dir);

// True when the open segment `fd` is not empty and does not end with a line
// feed: its last line was left without its end by a failed append.
bool segment_ends_inside_line(int fd);

// The record_id of the last whole line of the segment,
// {"payload":...,"record_id":N} with or without its line feed, or nothing
// when there is none (or no segment). Lines after it, cut short by a crash
// or a failed append, are passed over whatever their payload holds. Only
// the segment's last 256 MiB are searched; a segment that is not a regular
// file, cannot be read, or has no whole line there while longer fails with
// "read raw segment {segment}".
Result<std::optional<uint64_t>> last_raw_record_id(const RawLog& log);

}  // namespace quor::store
