// Small POSIX file helpers of the store: whole-file reads, crash-safe
// whole-file replacement, metadata queries and operating-system error texts,
// and the seam through which a flush changes files.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "quor/store/file_handle.h"
#include "quor/util/error.h"
#include "quor/util/os_error.h"

namespace quor::store {

// True when the file system gives metadata for `path` (following links).
bool path_has_metadata(const std::filesystem::path& path);

// The root text of every refusal of a path that names something other than
// a regular file or a directory (a FIFO, a device, a socket).
inline constexpr std::string_view kNotRegularFile = "not a regular file";

// Opens `path` with `flags` (O_CLOEXEC added) and checks that it is a regular
// file before anything is read: a FIFO opens without waiting for a writer
// (O_NONBLOCK, cleared again once the file is known to be regular) and is
// refused like a device, with kNotRegularFile; a directory fails with the
// text its first read would give (EISDIR).
Result<UniqueFd> open_regular_file(const std::filesystem::path& path, int flags,
                                   mode_t mode = 0644);

// The largest whole-file read attempted: the machine's physical memory. A
// bigger file could never be held, so reading it is refused at once.
uint64_t whole_read_limit();
// The refusal of a file of `size` bytes beyond whole_read_limit(), or
// whose buffer could not be allocated: "file of {size} bytes does not fit
// in memory".
Error too_large_to_read(uint64_t size);

// The whole content of the regular file at `path`; a file too large to hold
// fails with too_large_to_read(), never with an allocation failure.
Result<std::string> read_whole_file(const std::filesystem::path& path);

// True when the regular file at `path` starts with `header` (false when it
// is shorter, cannot be read or is not a regular file).
bool file_starts_with(const std::filesystem::path& path, std::string_view header);

// Which file a path names, and in which state: device, inode, size and
// modification time (following links). Two equal identities of one path mean
// that nobody replaced or rewrote the file in between.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t mtime_ns = 0;
  bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> file_identity(const std::filesystem::path& path);

// The file a path finally names: symbolic links followed, each relative link
// against the directory of the link, until a path that is not a link (which
// need not exist). Fails with ELOOP after 40 links, like the kernel.
Result<std::filesystem::path> resolve_links(const std::filesystem::path& path);

// Whether a mapping's pages are read ahead when it is made (MAP_POPULATE)
// or as they are first read.
enum class MapPages { OnFirstRead, ReadAhead };

// Every operation through which the store and the input readers touch the
// file system: the flush's replacements, and the opens, reads, appends,
// locks, directory creations and mappings of everything else. The store
// uses the plain POSIX ones (file_ops()); tests substitute ones that fail
// or stop at a chosen step. Failures carry the operating system's text as
// their root. The operations other than a flush's have POSIX defaults, so
// a substitute overrides only what it watches.
class FileOps {
 public:
  virtual ~FileOps() = default;

  // Opens `path` as open(2) does with `flags` (O_CLOEXEC added) and `mode`.
  virtual Result<UniqueFd> open(const std::filesystem::path& path, int flags, mode_t mode);
  // The metadata of an open file.
  virtual Result<struct stat> fstat(int fd);
  // Reads up to `n` bytes at the current offset, or at `offset`: 0 at the end.
  virtual Result<size_t> read(int fd, char* buf, size_t n);
  virtual Result<size_t> pread(int fd, char* buf, size_t n, off_t offset);
  // Writes what it can of the `count` vectors at the current offset (all of
  // an appending descriptor's bytes go to the end); returns how much.
  virtual Result<size_t> writev(int fd, const struct iovec* iov, int count);
  // Takes the exclusive lock on the whole file, waiting until it is granted.
  virtual Status lock_exclusive(int fd);
  // Creates `dir` and every missing parent; an existing directory is no failure.
  virtual Status create_directories(const std::filesystem::path& dir);
  // Maps the first `size` (> 0) bytes of `fd` read-only and private, with
  // the pages read as `pages` says.
  virtual Result<FileMapping> map(int fd, size_t size, MapPages pages);

  // Creates `path`, which must not exist (EEXIST otherwise), open for
  // writing; with permission bits `mode` exactly when given, otherwise 0644
  // less the umask.
  virtual Result<UniqueFd> create_new(const std::filesystem::path& path,
                                      std::optional<mode_t> mode) = 0;
  // Writes all of `bytes` at the current offset.
  virtual Status write(int fd, std::string_view bytes) = 0;
  // Flushes the file's data and metadata to stable storage.
  virtual Status sync(int fd) = 0;
  // Closes `fd` (it is closed afterwards whatever the outcome).
  virtual Status close(UniqueFd& fd) = 0;
  virtual Status rename(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // Flushes the directory's entries (the renames into it) to stable storage.
  virtual Status sync_directory(const std::filesystem::path& dir) = 0;
  virtual Status remove(const std::filesystem::path& path) = 0;
};

// The plain POSIX operations.
FileOps& posix_file_ops();

// The operations in use: posix_file_ops(), unless a ScopedFileOps installed
// others.
FileOps& file_ops();

// Installs `ops` as file_ops() for its own lifetime (tests only: nothing may
// be using the files meanwhile on another thread that should not see them).
class ScopedFileOps {
 public:
  explicit ScopedFileOps(FileOps& ops);
  ~ScopedFileOps();
  ScopedFileOps(const ScopedFileOps&) = delete;
  ScopedFileOps& operator=(const ScopedFileOps&) = delete;

 private:
  FileOps* previous_;
};

// Writes all of `bytes` through ops.writev(); a write that makes no
// progress fails with EIO.
Status write_all(FileOps& ops, int fd, std::string_view bytes);

// One file being replaced whole: the new content goes to a temporary file
// beside the file that `path` finally names (symbolic links followed, so a
// link keeps pointing at its updated target), created with that file's
// permission bits, and only a rename puts it in place. Until commit() the
// file itself is untouched; a replacement dropped before commit() removes
// its temporary file.
//
// Temporary names are "." + target name + ".tmp-" + 16 random hex digits,
// created exclusively (a name in use is never reused).
class FileReplacement {
 public:
  // Resolves the target and creates the temporary file.
  static Result<FileReplacement> begin(FileOps& ops, const std::filesystem::path& path);

  FileReplacement(FileReplacement&& other) noexcept;
  FileReplacement& operator=(FileReplacement&&) = delete;
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;
  ~FileReplacement();

  Status write(std::string_view bytes);
  // Flushes the temporary file to stable storage and closes it.
  Status finish();
  // Renames the finished temporary file over the target. The rename reaches
  // stable storage only with sync_directory() of target_directory().
  Status commit();
  // Closes and removes the temporary file unless committed.
  void discard();

  const std::filesystem::path& target() const { return target_; }
  std::filesystem::path target_directory() const;
  const std::filesystem::path& temp_path() const { return temp_; }

 private:
  FileReplacement(FileOps& ops, std::filesystem::path target, std::filesystem::path temp,
                  UniqueFd fd)
      : ops_(&ops), target_(std::move(target)), temp_(std::move(temp)), fd_(std::move(fd)) {}

  FileOps* ops_;
  std::filesystem::path target_;
  std::filesystem::path temp_;
  UniqueFd fd_;
  bool committed_ = false;
};

// Replaces the file at `path` with exactly `bytes` through a FileReplacement
// (written, flushed to stable storage, renamed, directory flushed), so a
// reader sees either the old or the new content, never a part.
Status replace_file(const std::filesystem::path& path, std::string_view bytes);

// True when `name` is a temporary name that a replacement of the file named
// `target_name` uses or used: "." + target_name + ".tmp-" followed by 16 hex
// digits, or by "PID-N" (decimal numbers), the other form of the
// temporary names a stopped flush can leave in a directory.
bool is_temporary_name_for(std::string_view name, std::string_view target_name);

// Removes every leftover temporary file of a replacement of `path` (and of
// the file it finally names, when it is a link) from the directories that
// hold them. Only safe while nobody else may be replacing that file, that is
// under the database lock. Failures are ignored: a leftover never stops a
// later replacement, which picks a fresh name.
void remove_leftover_temporaries(const std::filesystem::path& path);

}  // namespace quor::store
