#include "quor/store/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <system_error>
#include <vector>

namespace quor::store {

bool path_has_metadata(const std::filesystem::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

Result<UniqueFd> open_regular_file(const std::filesystem::path& path, int flags, mode_t mode) {
  // O_NONBLOCK makes a FIFO open at once instead of waiting for a writer;
  // on a regular file it changes nothing, so it stays set.
  FileOps& ops = file_ops();
  QUOR_ASSIGN_OR_RETURN(UniqueFd fd, ops.open(path, flags | O_NONBLOCK | O_NOCTTY, mode));
  QUOR_ASSIGN_OR_RETURN(struct stat st, ops.fstat(fd.get()));
  // A directory is refused with the error its first read would give.
  if (S_ISDIR(st.st_mode)) return util::os_error(EISDIR);
  if (!S_ISREG(st.st_mode)) return Error(std::string(kNotRegularFile));
  return fd;
}

uint64_t whole_read_limit() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return UINT64_MAX;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
}

Error too_large_to_read(uint64_t size) {
  return Error("file of " + std::to_string(size) + " bytes does not fit in memory");
}

Result<std::string> read_whole_file(const std::filesystem::path& path) {
  FileOps& ops = file_ops();
  QUOR_ASSIGN_OR_RETURN(UniqueFd fd, open_regular_file(path, O_RDONLY));
  QUOR_ASSIGN_OR_RETURN(struct stat st, ops.fstat(fd.get()));
  const uint64_t limit = whole_read_limit();
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size > limit) return too_large_to_read(size);
  std::string out;
  try {
    out.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return too_large_to_read(size);
  }
  size_t have = 0;
  for (;;) {
    if (have == out.size()) {
      // The file grew since its size was taken: take the rest in steps,
      // within the limit.
      if (out.size() >= limit) return too_large_to_read(out.size() + 1);
      try {
        out.resize(std::min<uint64_t>(limit, out.size() + (out.size() / 2) + (1 << 16)));
      } catch (const std::bad_alloc&) {
        return too_large_to_read(out.size());
      }
    }
    QUOR_ASSIGN_OR_RETURN(size_t n, ops.read(fd.get(), out.data() + have, out.size() - have));
    if (n == 0) break;
    have += n;
  }
  out.resize(have);
  return out;
}

bool file_starts_with(const std::filesystem::path& path, std::string_view header) {
  auto fd = open_regular_file(path, O_RDONLY);
  if (!fd.ok()) return false;
  std::string got(header.size(), '\0');
  size_t have = 0;
  while (have < got.size()) {
    auto n = file_ops().pread(fd->get(), got.data() + have, got.size() - have, static_cast<off_t>(have));
    if (!n.ok() || *n == 0) return false;
    have += *n;
  }
  return got == header;
}

std::optional<FileIdentity> file_identity(const std::filesystem::path& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  FileIdentity id;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.inode = static_cast<uint64_t>(st.st_ino);
  id.size = static_cast<int64_t>(st.st_size);
  id.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return id;
}

Result<std::filesystem::path> resolve_links(const std::filesystem::path& path) {
  std::filesystem::path current = path;
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::vector<char> buf(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    for (;;) {
      ssize_t n = ::readlink(current.c_str(), buf.data(), buf.size());
      if (n < 0) return util::os_error(errno);
      if (static_cast<size_t>(n) < buf.size()) {
        buf.resize(static_cast<size_t>(n));
        break;
      }
      buf.resize(buf.size() * 2);  // the link grew since lstat
    }
    std::filesystem::path next(std::string(buf.begin(), buf.end()));
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  return util::os_error(ELOOP);
}

namespace {

class PosixFileOps final : public FileOps {
 public:
  Result<UniqueFd> create_new(const std::filesystem::path& path,
                              std::optional<mode_t> mode) override {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd.is_open()) return util::os_error(errno);
    // The umask applies to open's mode only: set the bits to be kept exactly.
    if (mode && ::fchmod(fd.get(), *mode) != 0) {
      int err = errno;
      fd.reset();
      ::unlink(path.c_str());
      return util::os_error(err);
    }
    return fd;
  }
  Status write(int fd, std::string_view bytes) override { return write_all(*this, fd, bytes); }
  Status sync(int fd) override {
    if (::fsync(fd) != 0) return util::os_error(errno);
    return ok_status();
  }
  Status close(UniqueFd& fd) override {
    if (fd.close() != 0) return util::os_error(errno);
    return ok_status();
  }
  Status rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) return util::os_error(errno);
    return ok_status();
  }
  Status sync_directory(const std::filesystem::path& dir) override {
    UniqueFd fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.is_open()) return util::os_error(errno);
    if (::fsync(fd.get()) != 0) return util::os_error(errno);
    return ok_status();
  }
  Status remove(const std::filesystem::path& path) override {
    if (::unlink(path.c_str()) != 0) return util::os_error(errno);
    return ok_status();
  }
};

constexpr std::string_view kTempMarker = ".tmp-";
constexpr size_t kRandomHexDigits = 16;

// 64 unpredictable bits: from the kernel, or (should that fail) from the
// clock, the process id and a counter, mixed. Either way a name already in
// use is detected by the exclusive create and another one drawn.
uint64_t random_bits() {
  uint64_t v = 0;
  if (::getrandom(&v, sizeof v, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof v)) return v;
  static std::atomic<uint64_t> counter{0};
  v = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      (static_cast<uint64_t>(::getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ULL);
  v ^= v >> 33;
  v *= 0xff51afd7ed558ccdULL;
  v ^= v >> 33;
  return v;
}

std::string temporary_name(const std::string& target_name) {
  static const char kHex[] = "0123456789abcdef";
  uint64_t bits = random_bits();
  std::string name = "." + target_name + std::string(kTempMarker);
  for (size_t i = 0; i < kRandomHexDigits; ++i) {
    name.push_back(kHex[bits & 0xF]);
    bits >>= 4;
  }
  return name;
}

bool all_of(std::string_view s, bool (*pred)(char)) {
  if (s.empty()) return false;
  for (char c : s)
    if (!pred(c)) return false;
  return true;
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_lower_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f'); }

void remove_temporaries_in(const std::filesystem::path& dir, const std::string& target_name) {
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> doomed;
  while (struct dirent* e = ::readdir(d)) {
    if (is_temporary_name_for(e->d_name, target_name)) doomed.emplace_back(e->d_name);
  }
  ::closedir(d);
  for (const auto& name : doomed) (void)::unlink((dir / name).c_str());
}

}  // namespace

FileOps& posix_file_ops() {
  static PosixFileOps ops;
  return ops;
}

namespace {
std::atomic<FileOps*> g_file_ops{nullptr};
}  // namespace

FileOps& file_ops() {
  FileOps* ops = g_file_ops.load(std::memory_order_acquire);
  return ops != nullptr ? *ops : posix_file_ops();
}

ScopedFileOps::ScopedFileOps(FileOps& ops) : previous_(g_file_ops.exchange(&ops)) {}
ScopedFileOps::~ScopedFileOps() { g_file_ops.store(previous_); }

Status write_all(FileOps& ops, int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    struct iovec iov {const_cast<char*>(bytes.data()), bytes.size()};
    QUOR_ASSIGN_OR_RETURN(size_t n, ops.writev(fd, &iov, 1));
    if (n == 0) return util::os_error(EIO);
    bytes.remove_prefix(n);
  }
  return ok_status();
}

// ---- FileOps: the POSIX defaults ----

Result<UniqueFd> FileOps::open(const std::filesystem::path& path, int flags, mode_t mode) {
  for (;;) {
    UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC, mode));
    if (fd.is_open()) return fd;
    if (errno != EINTR) return util::os_error(errno);
  }
}

Result<struct stat> FileOps::fstat(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return util::os_error(errno);
  return st;
}

Result<size_t> FileOps::read(int fd, char* buf, size_t n) {
  for (;;) {
    const ssize_t got = ::read(fd, buf, n);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) return util::os_error(errno);
  }
}

Result<size_t> FileOps::pread(int fd, char* buf, size_t n, off_t offset) {
  for (;;) {
    const ssize_t got = ::pread(fd, buf, n, offset);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) return util::os_error(errno);
  }
}

Result<size_t> FileOps::writev(int fd, const struct iovec* iov, int count) {
  for (;;) {
    const ssize_t put = ::writev(fd, iov, count);
    if (put >= 0) return static_cast<size_t>(put);
    if (errno != EINTR) return util::os_error(errno);
  }
}

Status FileOps::lock_exclusive(int fd) {
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return util::os_error(errno);
  }
  return ok_status();
}

Status FileOps::create_directories(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return util::os_error(ec.value());
  return ok_status();
}

Result<FileMapping> FileOps::map(int fd, size_t size, MapPages pages) {
  const int populate = pages == MapPages::ReadAhead ? MAP_POPULATE : 0;
  void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | populate, fd, 0);
  if (p == MAP_FAILED) return util::os_error(errno);
  return FileMapping(p, size);
}

bool is_temporary_name_for(std::string_view name, std::string_view target_name) {
  const size_t prefix = 1 + target_name.size() + kTempMarker.size();
  if (name.size() <= prefix || name[0] != '.' || name.substr(1, target_name.size()) != target_name ||
      name.substr(1 + target_name.size(), kTempMarker.size()) != kTempMarker) {
    return false;
  }
  std::string_view rest = name.substr(prefix);
  if (rest.size() == kRandomHexDigits && all_of(rest, is_lower_hex)) return true;
  size_t dash = rest.find('-');
  return dash != std::string_view::npos && all_of(rest.substr(0, dash), is_digit) &&
         all_of(rest.substr(dash + 1), is_digit);
}

void remove_leftover_temporaries(const std::filesystem::path& path) {
  remove_temporaries_in(path.parent_path(), path.filename().string());
  auto target = resolve_links(path);
  if (target.ok() && *target != path) {
    remove_temporaries_in(target->parent_path(), target->filename().string());
  }
}

// ---- FileReplacement ----

Result<FileReplacement> FileReplacement::begin(FileOps& ops, const std::filesystem::path& path) {
  QUOR_ASSIGN_OR_RETURN(std::filesystem::path target, resolve_links(path));
  // Keep what writing into the file would keep: its permission bits and,
  // where we may, its owner.
  std::optional<mode_t> mode;
  struct stat st;
  bool existing = ::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  if (existing) mode = st.st_mode & 07777;

  const std::filesystem::path dir = target.parent_path();
  const std::string target_name = target.filename().string();
  for (int attempt = 0;; ++attempt) {
    std::string name = temporary_name(target_name);
    std::filesystem::path temp = dir.empty() ? std::filesystem::path(name) : dir / name;
    auto fd = ops.create_new(temp, mode);
    if (fd.ok()) {
      if (existing && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
        (void)!::fchown(fd->get(), st.st_uid, st.st_gid);
      }
      return FileReplacement(ops, std::move(target), std::move(temp), std::move(*fd));
    }
    // Only a name in use is worth another draw.
    if (attempt >= 16 || fd.error().root() != util::os_error_text(EEXIST)) {
      return std::move(fd).error();
    }
  }
}

FileReplacement::FileReplacement(FileReplacement&& other) noexcept
    : ops_(other.ops_),
      target_(std::move(other.target_)),
      temp_(std::move(other.temp_)),
      fd_(std::move(other.fd_)),
      committed_(std::exchange(other.committed_, true)) {}

FileReplacement::~FileReplacement() { discard(); }

Status FileReplacement::write(std::string_view bytes) { return ops_->write(fd_.get(), bytes); }

Status FileReplacement::finish() {
  QUOR_RETURN_IF_ERROR(ops_->sync(fd_.get()));
  return ops_->close(fd_);
}

Status FileReplacement::commit() {
  QUOR_RETURN_IF_ERROR(ops_->rename(temp_, target_));
  committed_ = true;
  return ok_status();
}

void FileReplacement::discard() {
  if (committed_) return;
  committed_ = true;
  if (fd_.is_open()) (void)ops_->close(fd_);
  (void)ops_->remove(temp_);
}

std::filesystem::path FileReplacement::target_directory() const {
  std::filesystem::path dir = target_.parent_path();
  return dir.empty() ? std::filesystem::path(".") : dir;
}

Status replace_file(const std::filesystem::path& path, std::string_view bytes) {
  FileOps& ops = file_ops();
  QUOR_ASSIGN_OR_RETURN(FileReplacement file, FileReplacement::begin(ops, path));
  QUOR_RETURN_IF_ERROR(file.write(bytes));
  QUOR_RETURN_IF_ERROR(file.finish());
  QUOR_RETURN_IF_ERROR(file.commit());
  // Make the rename itself durable; a failure here leaves the new content
  // in place, so it is not reported.
  (void)ops.sync_directory(file.target_directory());
  return ok_status();
}

}  // namespace quor::store
