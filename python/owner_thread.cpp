#include "owner_thread.h"

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quor::python {

namespace {

using StateList = std::vector<std::unique_ptr<DbState>>;

struct Registry {
  std::mutex mu;
  // Live owner threads and what is parked for each of them.
  std::unordered_map<uint64_t, StateList> parked;
  // States whose owner thread has ended; released with the process.
  StateList orphans;
  std::atomic<size_t> count{0};
};

// Process-wide; objects of thread storage duration (the slots below) are
// destroyed before it, so a slot's destructor may still use it.
Registry& registry() {
  static Registry r;
  return r;
}

std::atomic<uint64_t> g_next_thread_id{1};

struct ThreadSlot {
  uint64_t id = g_next_thread_id.fetch_add(1, std::memory_order_relaxed);
  bool registered = false;

  ~ThreadSlot() {
    if (!registered) return;
    StateList mine;
    {
      Registry& r = registry();
      std::lock_guard<std::mutex> lock(r.mu);
      auto it = r.parked.find(id);
      if (it != r.parked.end()) {
        mine = std::move(it->second);
        r.parked.erase(it);
      }
      r.count -= mine.size();
    }
    // Released here, on the owner thread, as it ends.
  }
};

thread_local ThreadSlot t_slot;

}  // namespace

uint64_t current_thread_id() { return t_slot.id; }

std::string thread_id_text(uint64_t id) { return "ThreadId(" + std::to_string(id) + ")"; }

void register_owner_thread() {
  if (t_slot.registered) return;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.parked.try_emplace(t_slot.id);
  t_slot.registered = true;
}

void hand_back(uint64_t owner, std::unique_ptr<DbState> state) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.parked.find(owner);
  if (it != r.parked.end()) {
    it->second.push_back(std::move(state));
  } else {
    r.orphans.push_back(std::move(state));
  }
  r.count += 1;
}

void release_handed_back() {
  Registry& r = registry();
  if (!t_slot.registered || r.count.load(std::memory_order_relaxed) == 0) return;
  StateList mine;
  {
    std::lock_guard<std::mutex> lock(r.mu);
    auto it = r.parked.find(t_slot.id);
    if (it == r.parked.end() || it->second.empty()) return;
    mine.swap(it->second);
    r.count -= mine.size();
  }
  // `mine` goes out of scope outside the lock: the Databases are released on
  // their owner thread.
}

size_t handed_back_count() { return registry().count.load(); }

}  // namespace quor::python
