// The operating system's text for an errno value, in the one form every
// file operation reports: "No such file or directory (os error 2)".
#pragma once

#include <string>

#include "quor/util/error.h"

namespace quor::util {

// "{text} (os error {err})"; safe to call from any thread.
std::string os_error_text(int err);
// An Error whose root is os_error_text(err).
Error os_error(int err);

}  // namespace quor::util
