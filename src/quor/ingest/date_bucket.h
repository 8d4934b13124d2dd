// Date buckets: the label of the day, ISO week, month or year of a date value.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quor::ingest {

// The label of `value` under `granularity`: with "daily" "YYYY-MM-DD", with
// "weekly" "{iso year}-W{iso week:02}", with "monthly" "YYYY-MM", with
// "yearly" "YYYY". The value must be a whole "Y-m-dTH:M:S" date-time (the time
// is dropped) or a whole "Y-m-d" date of an existing day. Any other value, a
// missing granularity or any other granularity text returns the value
// unchanged. Never fails.
std::string bucket_by_granularity(std::string_view value, const std::optional<std::string>& granularity);

// As above, appending the label to `out` (no allocation when it has room).
void append_bucket_label(std::string& out, std::string_view value, std::string_view granularity);

}  // namespace quor::ingest
