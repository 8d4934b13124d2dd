// A hook in the test binary's global operator new: once armed, allocation
// number `fail_at` (counted from 1) made by the arming thread throws
// std::bad_alloc. Other threads are never counted and never fail. Unarmed,
// operator new is malloc and nothing else.
#pragma once

#include <cstdint>

namespace quor::test_util {

void arm_allocation_failure(uint64_t fail_at);
// Stops counting; returns the number of allocations counted while armed.
uint64_t disarm_allocation_failure();
// True when the armed allocation was reached (and threw).
bool allocation_failure_fired();

}  // namespace quor::test_util
