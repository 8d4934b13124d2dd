// Assertions that abort a call.
//
// Internal invariants that ordinary input cannot break (for example two
// count vectors of different lengths handed to a divergence) are checked with
// QUOR_ASSERT. A failed assertion throws `quor::Panic`, the only exception
// the engine raises on purpose. It unwinds the whole call; the Python binding
// catches it at its boundary and raises PanicException (a BaseException).
// Engine code never catches it.
#pragma once

#include <string>

namespace quor {

struct Panic {
  std::string message;
};

[[noreturn]] inline void panic(std::string message) { throw Panic{std::move(message)}; }

}  // namespace quor

#define QUOR_ASSERT(cond, message)            \
  do {                                        \
    if (!(cond)) ::quor::panic(message);      \
  } while (0)
