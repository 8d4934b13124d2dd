#include "reference/date_bucket.h"

#include "quor/ingest/internal/date_bucket.h"

namespace quor::reference {

std::string bucket_by_granularity(std::string_view value, const std::optional<std::string>& granularity) {
  std::string out;
  if (!granularity) out.assign(value);
  else ingest::append_bucket_label(out, value, *granularity);
  return out;
}

}  // namespace quor::reference
