// The date bucket of one value, as a new text: the form the tests ask the
// bucketing in (the ingest appends labels in place, quor/ingest/internal/date_bucket.h).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quor::reference {

// ingest::append_bucket_label into an empty text; a missing granularity
// returns the value unchanged.
std::string bucket_by_granularity(std::string_view value, const std::optional<std::string>& granularity);

}  // namespace quor::reference
