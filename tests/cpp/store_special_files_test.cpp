// Files that are not what their names promise: a FIFO (which blocks an
// open for reading until a writer comes), a link to /dev/zero (which never
// ends), a sparse file far larger than memory. Each is refused at once with
// an error that names it, or ignored where an unreadable file is ignored
// (the index and the snapshot store); nothing waits, and nothing reads
// until memory runs out.
//
// Each case runs in a child process with a time limit and a bounded address
// space, so that a build that hangs or swells fails the case instead of
// the machine.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>

#include "quor/ingest/batch_apply.h"
#include "quor/store/directory.h"
#include "store_test_dir.h"

namespace quor::store {
namespace {

using namespace quor::store::testing;
namespace fs = std::filesystem;

using SpecialFilesTest = TempDirTest;

// Runs `fn` in a forked child that may take 10 s and 1 GiB more address
// space than it starts with; returns fn's text, or how the child ended.
std::string in_child(const std::function<std::string()>& fn) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    ::alarm(10);
    std::ifstream statm("/proc/self/statm");
    uint64_t pages = 0;
    statm >> pages;
    const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) +
                         (rlim_t{1} << 30);
    const struct rlimit lim {limit, limit};
    ::setrlimit(RLIMIT_AS, &lim);
    std::string out;
    try {
      out = fn();
    } catch (const std::bad_alloc&) {
      out = "out of memory";
    }
    (void)!::write(fds[1], out.data(), out.size());
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string got;
  char buf[4096];
  for (;;) {
    struct pollfd p {fds[0], POLLIN, 0};
    if (::poll(&p, 1, 30000) <= 0) {
      ::kill(child, SIGKILL);
      got = "no answer within 30 s";
      break;
    }
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return got;
}

// "ok", or the open's error.
std::string open_outcome(const fs::path& path, bool writable) {
  auto db = open_database(path, writable);
  return db.ok() ? std::string("ok") : db.error().full_text();
}

// Far larger than memory (64 GiB at least).
uint64_t huge_size() {
  const uint64_t memory = static_cast<uint64_t>(::sysconf(_SC_PHYS_PAGES)) *
                          static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  return std::max<uint64_t>(uint64_t{64} << 30, 2 * memory);
}

enum class Kind { Fifo, DevZero, Sparse };

// Puts a thing of `kind` where `file` was.
void replace_with(const fs::path& file, Kind kind) {
  fs::remove(file);
  switch (kind) {
    case Kind::Fifo: ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0); break;
    case Kind::DevZero: fs::create_symlink("/dev/zero", file); break;
    case Kind::Sparse: {
      // Holding no data at all.
      std::ofstream(file, std::ios::binary).close();
      ASSERT_EQ(::truncate(file.c_str(), static_cast<off_t>(huge_size())), 0);
      break;
    }
  }
}

TEST_F(SpecialFilesTest, DataFilesThatAreNotRegularFilesAreRefusedOrIgnoredAtOnce) {
  const fs::path path = dir_ / "db";
  const std::string p = path.string();
  const std::string seg = (path / "raw" / "log_000001.raw").string();
  const std::string huge = std::to_string(huge_size());
  struct Case {
    const char* file;
    Kind kind;
    bool writable;
    std::string outcome;  // "ok", or the error's full text
  };
  const Case cases[] = {
      {"meta.edb", Kind::Fifo, true, "read file " + p + "/meta.edb: not a regular file"},
      {"meta.edb", Kind::Fifo, false, "read file " + p + "/meta.edb: not a regular file"},
      {"meta.edb", Kind::DevZero, false, "read file " + p + "/meta.edb: not a regular file"},
      {"meta.edb", Kind::Sparse, true,
       "read file " + p + "/meta.edb: file of " + huge + " bytes does not fit in memory"},
      {"distributions.edb", Kind::Fifo, true,
       "read file " + p + "/distributions.edb: not a regular file"},
      {"distributions.edb", Kind::Fifo, false,
       "open file " + p + "/distributions.edb: not a regular file"},
      {"distributions.edb", Kind::DevZero, true,
       "read file " + p + "/distributions.edb: not a regular file"},
      {"distributions.edb", Kind::DevZero, false,
       "open file " + p + "/distributions.edb: not a regular file"},
      {"distributions.edb", Kind::Sparse, true,
       "read file " + p + "/distributions.edb: file of " + huge + " bytes does not fit in memory"},
      {"snapshots.edb", Kind::Fifo, true, "ok"},
      {"snapshots.edb", Kind::Fifo, false, "ok"},
      {"snapshots.edb", Kind::DevZero, true, "ok"},
      {"snapshots.edb", Kind::Sparse, true, "ok"},
      {"snapshots.edb", Kind::Sparse, false, "ok"},
      {"dist_index.edb", Kind::Fifo, true, "ok"},
      {"dist_index.edb", Kind::DevZero, true, "ok"},
      {"raw/log_000001.raw", Kind::Fifo, true, "read raw segment " + seg + ": not a regular file"},
      {"raw/log_000001.raw", Kind::Fifo, false, "ok"},
      {"raw/log_000001.raw", Kind::DevZero, true, "read raw segment " + seg + ": not a regular file"},
      {"raw/log_000001.raw", Kind::Sparse, true,
       "read raw segment " + seg + ": no whole record line in its last 268435456 bytes"},
      {"lock.edb", Kind::Fifo, true, "open lock file " + p + "/lock.edb: not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.file) + (c.writable ? " read-write" : " read-only") + " kind " +
                 std::to_string(static_cast<int>(c.kind)));
    fs::remove_all(path);
    {
      auto db = create_database(path, true);
      ASSERT_TRUE(db.ok());
    }
    replace_with(path / c.file, c.kind);
    EXPECT_EQ(in_child([&] { return open_outcome(path, c.writable); }), c.outcome);
  }
}

// An index or snapshot store that is no regular file is written over by
// the next flush, which leaves a regular file in its place.
TEST_F(SpecialFilesTest, FlushReplacesAnIgnoredSpecialFile) {
  const fs::path path = dir_ / "db";
  for (const char* file : {"dist_index.edb", "snapshots.edb"}) {
    SCOPED_TRACE(file);
    fs::remove_all(path);
    { ASSERT_TRUE(create_database(path, true).ok()); }
    replace_with(path / file, Kind::Fifo);
    EXPECT_EQ(in_child([&]() -> std::string {
                auto db = open_database(path, true);
                if (!db.ok()) return db.error().full_text();
                db->meta.next_distribution_id = 9;  // something to write
                Status st = flush_database(*db);
                return st.ok() ? "ok" : st.error().full_text();
              }),
              "ok");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path / file)));
  }
}

// The input readers take regular files only: a FIFO would wait for a
// writer, /dev/zero would be read until memory runs out.
TEST_F(SpecialFilesTest, InputFilesThatAreNotRegularFilesAreRefusedAtOnce) {
  struct Case {
    const char* name;
    Kind kind;
    const char* context;
  };
  const Case cases[] = {
      {"data.csv", Kind::Fifo, "open csv file "},
      {"data.csv", Kind::DevZero, "open csv file "},
      {"data.jsonl", Kind::Fifo, "open json file "},
      {"data.json", Kind::DevZero, "open json file "},
  };
  { ASSERT_TRUE(create_database(dir_ / "db", true).ok()); }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = dir_ / c.name;
    replace_with(file, c.kind);
    EXPECT_EQ(in_child([&] {
                auto db = open_database(dir_ / "db", true);
                if (!db.ok()) return db.error().full_text();
                auto r = ingest::ingest_file(*db, file.string(), ingest::IngestOptions{}, 10000, false);
                return r.ok() ? std::string("ok") : r.error().full_text();
              }),
              std::string(c.context) + file.string() + ": not a regular file");
  }
}

}  // namespace
}  // namespace quor::store
