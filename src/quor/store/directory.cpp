// Placeholder until the directory lifecycle lands: every call fails.
#include "quor/store/directory.h"

namespace quor::store {

namespace {
Error not_built() { return Error("database files are not supported by this build yet"); }
}  // namespace

Result<Database> create_database(const std::filesystem::path&, bool) { return not_built(); }
Result<Database> open_database(const std::filesystem::path&, bool) { return not_built(); }
Status flush_database(Database& db) {
  if (!db.writable) return ok_status();
  return not_built();
}
Result<LockFile> acquire_lock_file(const std::filesystem::path&) { return not_built(); }

}  // namespace quor::store
