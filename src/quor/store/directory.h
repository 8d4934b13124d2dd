// The database directory and the lifecycle of a Database: create, open,
// flush. Release is the Database's destructor (it unlocks and closes
// "lock.edb" and never flushes).
#pragma once

#include <filesystem>

#include "quor/store/database.h"
#include "quor/store/lock_file.h"
#include "quor/util/error.h"

namespace quor::store {

// Builds whatever part of the directory is missing (never changing an
// existing data file) and opens it read-write.
Result<Database> create_database(const std::filesystem::path& path, bool raw_log_enabled);

// Opens an existing directory; read-write takes the exclusive lock on
// "lock.edb" first (blocking for other processes, refused at once for a
// directory this process already holds).
Result<Database> open_database(const std::filesystem::path& path, bool writable);

// Writes the four data files of a writable database; a read-only one is left
// untouched and succeeds. A read-write copy inherited by a forked child is
// refused (LockFile::check_writer).
Status flush_database(Database& db);

// Opens "lock.edb" (creating it, never truncating) and takes the exclusive
// whole-file lock.
Result<LockFile> acquire_lock_file(const std::filesystem::path& lock_path);

}  // namespace quor::store
