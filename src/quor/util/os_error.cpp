#include "quor/util/os_error.h"

#include <cstring>
#include <type_traits>

namespace quor::util {

namespace {

// strerror_r comes in two forms: the GNU one returns the text (which may be
// a static string rather than `buf`), the XSI one returns 0 and fills `buf`.
[[maybe_unused]] const char* strerror_text(char* result, const char*) { return result; }
[[maybe_unused]] const char* strerror_text(int result, const char* buf) {
  return result == 0 ? buf : "Unknown error";
}

}  // namespace

std::string os_error_text(int err) {
  char buf[256];
  buf[0] = '\0';
  const char* text = strerror_text(strerror_r(err, buf, sizeof buf), buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

Error os_error(int err) { return Error(os_error_text(err)); }

}  // namespace quor::util
