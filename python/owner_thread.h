// Thread identities for the owner-thread check, and the hand-back of states
// dropped on a foreign thread.
//
// A QuorDB may only touch its Database on the thread that made it. When the
// last reference goes away on another thread, the state is parked here and
// released later on the owner thread: at the owner's next guarded QuorDB
// entry, or when the owner thread ends. A state whose owner has already ended
// is released when the process exits.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "db_state.h"

namespace quor::python {

// A process-unique, never reused identity of the calling thread (from 1).
uint64_t current_thread_id();
// Text form of an identity in thread-check messages: "ThreadId(N)".
std::string thread_id_text(uint64_t id);

// Makes the calling thread able to receive states handed back to it; call on
// the thread that becomes an owner.
void register_owner_thread();

// Parks `state` for release on thread `owner` (called from another thread).
void hand_back(uint64_t owner, std::unique_ptr<DbState> state);

// Releases every state parked for the calling thread.
void release_handed_back();

// Number of states parked and not yet released (for tests).
size_t handed_back_count();

}  // namespace quor::python
