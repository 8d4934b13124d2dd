#include "quor/store/lock_file.h"

#include <sys/file.h>
#include <unistd.h>

namespace quor::store {

void LockFile::release() {
  if (fd_ < 0) return;
  (void)::flock(fd_, LOCK_UN);
  (void)::close(fd_);
  fd_ = -1;
}

}  // namespace quor::store
