// The database directory and the lifecycle of a Database: create, open,
// flush. Release is the Database's destructor (it unlocks and closes
// "lock.edb" and never flushes).
#pragma once

#include <filesystem>

#include "quor/store/container.h"
#include "quor/store/database.h"
#include "quor/store/file_io.h"
#include "quor/store/lock_file.h"
#include "quor/util/error.h"

namespace quor::store {

// Builds whatever part of the directory is missing (never changing an
// existing data file) and opens it read-write.
//
// The files a create writes are each written and flushed to stable storage
// under a temporary name, then renamed into place together and the directory
// flushed once. Failures carry "create db dir {path}", "create raw dir
// {path}", "write file {path}" or "zstd compress".
Result<Database> create_database(const std::filesystem::path& path, bool raw_log_enabled);
// The same through `ops` (tests substitute failing or crashing operations).
Result<Database> create_database(const std::filesystem::path& path, bool raw_log_enabled,
                                 FileOps& ops);

// Opens an existing directory; read-write takes the exclusive lock on
// "lock.edb" first (blocking for other processes, refused at once for a
// directory this process already holds) and removes the temporary files that
// an interrupted flush left behind.
//
// The distribution index is always built from the distributions ("dist_index.edb"
// is written for other readers but never trusted), and the id counters of the
// meta record are raised past the largest stored id, so that whatever state an
// interrupted flush left, every distribution is found and no id is reused.
Result<Database> open_database(const std::filesystem::path& path, bool writable);
// The same, a read-write open decoding the distributions on `parallel`
// (may be null) when their file is of several frames.
Result<Database> open_database(const std::filesystem::path& path, bool writable,
                               const ParallelRunner* parallel);

// Writes the data files of a writable database whose records changed since
// they were last written or read (a file that already holds the bytes it
// would get is left alone); a read-only database is left untouched and
// succeeds.
//
// Every new file is written and flushed to stable storage under a temporary
// name first; then they are renamed over the old ones in the order meta,
// distributions, index, snapshots, and the directory is flushed once. A
// crash at any point leaves each file either old or new, and never new
// distributions with an old schema. Failures carry "write file {path}" or
// "zstd compress"; files renamed before a failure stay renamed. A read-write
// copy inherited by a forked child is refused (LockFile::check_writer).
Status flush_database(Database& db);
// The same through `ops` (tests substitute failing or crashing operations).
Status flush_database(Database& db, FileOps& ops);
// The same with the encoding and compression spread over `parallel` (the
// ingest's pool): the distributions are encoded in parts on the pool, and
// the index is encoded and compressed into memory beside them, then written
// at its turn. The files' bytes and the steps through `ops`, in their order,
// are those of a flush on one thread; only the sizes of the distributions
// file's writes may differ (the compressor takes its input in other pieces).
Status flush_database(Database& db, FileOps& ops, const ParallelRunner* parallel);

// Opens "lock.edb" (creating it, never truncating) and takes the exclusive
// whole-file lock.
Result<LockFile> acquire_lock_file(const std::filesystem::path& lock_path);

}  // namespace quor::store
