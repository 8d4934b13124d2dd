// Assertions that abort a call.
//
// Internal invariants that ordinary input cannot break (for example two
// count vectors of different lengths handed to a divergence) are checked with
// QUOR_ASSERT. A failed assertion throws `quor::Panic`, the only exception
// the engine raises on purpose. It unwinds the whole call; the Python binding
// catches it at its boundary and raises PanicException (a BaseException).
//
// Where catching is allowed: only at that boundary (python/guard.h), which
// turns every C++ exception into a Python one, and in tests that check an
// assertion fires. Engine code never catches a Panic: not to recover, not to
// translate it into an Error, not on a worker thread (the worker pool carries
// an exception back to the calling thread, which lets it unwind). The one
// `catch (...)` in engine code is in a destructor that must not throw while
// it waits for work whose result is being thrown away.
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
