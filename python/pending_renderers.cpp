// Stand-ins for the result renderers while they are not in the build: using
// one aborts the call.
#include "quor/sql/query_result.h"
#include "quor/util/panic.h"

namespace quor::sql {

std::string format_query_result(const QueryResult&) {
  panic("query result rendering is not built yet");
}
std::string query_result_to_csv(const QueryResult&) {
  panic("query result rendering is not built yet");
}
std::string query_result_to_json(const QueryResult&) {
  panic("query result rendering is not built yet");
}

}  // namespace quor::sql
