// The lock of a read-write database belongs to the process that took it: a
// forked child's copy neither unlocks it nor writes the directory.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "quor/store/directory.h"
#include "store_test_dir.h"

namespace quor::store {
namespace {

using namespace quor::store::testing;
namespace fs = std::filesystem;

using LockFileTest = TempDirTest;

// Runs `body` in a forked child; its exit code (the body's return value, or
// 99 when the child did not exit normally).
int in_child(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 99;
  return WEXITSTATUS(status);
}

TEST_F(LockFileTest, DescriptorIsCloseOnExec) {
  auto lock = acquire_lock_file(dir_ / "lock.edb");
  ASSERT_TRUE(lock.ok()) << lock.error().full_text();
  const int flags = ::fcntl(lock->fd(), F_GETFD);
  ASSERT_GE(flags, 0);
  EXPECT_TRUE(flags & FD_CLOEXEC);
  EXPECT_EQ(lock->owner_pid(), ::getpid());
  EXPECT_FALSE(lock->is_forked_copy());
  EXPECT_TRUE(lock->check_writer().ok());
}

TEST_F(LockFileTest, ForkedCopyReleasesWithoutUnlockingAndRefusesToWrite) {
  const fs::path path = dir_ / "db";
  auto db = create_database(path, true);
  ASSERT_TRUE(db.ok()) << db.error().full_text();
  ASSERT_TRUE(db->add_variable({"v", model::ContinuousType{4, model::Range{0.0, 1.0}}}).ok());
  ASSERT_TRUE(flush_database(*db).ok());
  const std::string before = slurp(path / "meta.edb");
  const std::string expected = "database was opened read-write by process " +
                               std::to_string(::getpid()) + "; a forked copy cannot write it";

  // Each step's failure is its own exit code.
  const int rc = in_child([&]() -> int {
    if (!db->lock_file || !db->lock_file->is_forked_copy()) return 1;
    if (db->lock_file->check_writer().ok()) return 2;
    if (!db->add_variable({"w", model::ContinuousType{4, model::Range{0.0, 1.0}}}).ok()) return 3;
    Status flushed = flush_database(*db);
    if (flushed.ok() || flushed.error().full_text() != expected) return 4;
    *db = Database();  // release the copy
    // The copy's registration was this process's own: a new read-write open
    // here would now wait on the parent's lock, not be refused.
    if (lock_is_free(path / "lock.edb")) return 5;
    return 0;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(lock_is_free(path / "lock.edb"));
  EXPECT_EQ(slurp(path / "meta.edb"), before);

  // The owner still writes and releases as usual.
  ASSERT_TRUE(db->add_variable({"x", model::ContinuousType{4, model::Range{0.0, 1.0}}}).ok());
  ASSERT_TRUE(flush_database(*db).ok());
  *db = Database();
  EXPECT_TRUE(lock_is_free(path / "lock.edb"));
  auto again = open_database(path, false);
  ASSERT_TRUE(again.ok()) << again.error().full_text();
  ASSERT_EQ(again->meta.schema.variables.size(), 2u);
  EXPECT_EQ(again->meta.schema.variables[1].name, "x");
}

TEST_F(LockFileTest, OwnerReleaseFreesTheLockWhileAForkedCopyLives) {
  const fs::path path = dir_ / "db";
  auto db = create_database(path, false);
  ASSERT_TRUE(db.ok()) << db.error().full_text();
  int go[2], done[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(done), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Keeps its copy open until the parent has released its own.
    char c;
    const bool got = ::read(go[0], &c, 1) == 1;
    const bool free = lock_is_free(path / "lock.edb");
    *db = Database();
    (void)!::write(done[1], free ? "F" : "H", 1);
    ::_exit(got ? 0 : 1);
  }
  *db = Database();
  EXPECT_TRUE(lock_is_free(path / "lock.edb"));
  (void)!::write(go[1], "g", 1);
  char c = 0;
  ASSERT_EQ(::read(done[0], &c, 1), 1);
  EXPECT_EQ(c, 'F');
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {go[0], go[1], done[0], done[1]}) ::close(fd);
}

// The kernel's lock table tells this process's own lock (taken through any
// descriptor, as another copy of the store in the process would) from none.
TEST_F(LockFileTest, LockTableShowsThisProcesssOwnLock) {
  const fs::path lock_path = dir_ / "lock.edb";
  spit(lock_path, "");
  EXPECT_FALSE(file_locked_by_this_process(lock_path.string()));
  EXPECT_FALSE(file_locked_by_this_process((dir_ / "missing").string()));
  int fd = ::open(lock_path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  EXPECT_TRUE(file_locked_by_this_process(lock_path.string()));
  // The directory is refused before anyone waits on the lock.
  EXPECT_FALSE(register_held_directory(dir_.string()));
  ::close(fd);
  EXPECT_FALSE(file_locked_by_this_process(lock_path.string()));
  EXPECT_TRUE(register_held_directory(dir_.string()));
  unregister_held_directory(dir_.string());
}

}  // namespace
}  // namespace quor::store
