#include "quor/ingest/internal/step_pipeline.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "quor/ingest/internal/worker_pool.h"

namespace quor::ingest::internal {

namespace {

std::atomic<uint64_t> g_pending_keys_found{0};

// How many records ahead find_pending_keys fetches the labels it looks up.
constexpr size_t kPrefetchDistance = 8;

}  // namespace

uint64_t pending_keys_found_for_testing() { return g_pending_keys_found.load(); }

StepPipeline::StepPipeline(const CompiledSchema& schema, const KeyTable& keys,
                           std::atomic<uint64_t>* cpu_ns)
    : compiled_(schema), keys_(keys), scratches_(schema, cpu_ns) {}

StepPipeline::~StepPipeline() {
  try {
    drop();
  } catch (...) {
  }
}

void StepPipeline::take(const ObservationSource& src, size_t begin, size_t end, RawLines lines,
                        uint64_t first_id, BatchUpdates& out) {
  ++batches_begun_;
  for (Ahead& a : ahead_) {
    if (!a.holds_step(&src, begin, end, lines, first_id)) continue;
    wait(a);
    std::swap(out, a.updates);
    a.holds = false;
    if (a.interned != interned_) find_pending_keys(out);
    return;
  }
  drop();
  compute_batch(compiled_, src, begin, end, lines, first_id, out, &keys_, &scratches_);
}

void StepPipeline::find_pending_keys(BatchUpdates& u) const {
  const size_t nkd = u.nkeydims;
  for (size_t k = 0; k < u.n; ++k) {
    // The labels of a record a few ahead are fetched (a high-cardinality
    // input has a new label in almost every record: 10^7 ids, 1.5 s).
    if (const size_t ka = k + kPrefetchDistance; ka < u.n && u.present[ka] && u.key_id[ka] < 0)
      for (size_t i = 0; i < nkd; ++i)
        if (u.labels[ka * nkd + i] == kNoLabel) keys_.prefetch_label(i, pending_label(u.pending[ka], i));
    if (!u.present[k] || u.key_id[k] >= 0) continue;
    uint32_t* labels = u.labels.data() + k * nkd;
    bool all = true;
    for (size_t i = 0; i < nkd; ++i) {
      if (labels[i] != kNoLabel) continue;
      const std::string_view label = pending_label(u.pending[k], i);
      labels[i] = keys_.find_label(i, label, KeyTable::text_hash(label));
      all = all && labels[i] != kNoLabel;
    }
    if (!all) continue;
    u.key_id[k] = keys_.find_key(labels, KeyTable::key_hash(labels, nkd));
    if (u.key_id[k] < 0) continue;
    u.has_pending[k] = 0;
    g_pending_keys_found.fetch_add(1, std::memory_order_relaxed);
  }
}

void StepPipeline::start_ahead(const ObservationSource& src, size_t from, size_t slice, RawLines lines,
                               uint64_t first_id, size_t most) {
  // More than one batch ahead only when the second one's first raw-log
  // identifier is known before the first is computed (every observation
  // has its dimensions, or none).
  const int uniform = src.uniform_presence();
  const size_t depth = std::min(most, lines == RawLines::Skip || uniform >= 0 ? kAhead : size_t{1});
  struct Want {
    size_t begin, end;
    uint64_t first_id;
    Ahead* slot;
  };
  std::array<Want, kAhead> want{};
  size_t nwant = 0;
  for (size_t b = from, id = first_id; nwant < depth && b < src.size();) {
    const size_t e = b + std::min(slice, src.size() - b);
    want[nwant++] = {b, e, id, nullptr};
    id += uniform == 1 ? e - b : 0;
    b = e;
  }
  std::array<bool, kAhead> kept{};
  for (size_t w = 0; w < nwant; ++w) {
    for (size_t i = 0; i < kAhead; ++i) {
      Ahead& a = ahead_[i];
      if (a.holds_step(&src, want[w].begin, want[w].end, lines, want[w].first_id)) {
        want[w].slot = &a;
        kept[i] = true;
      }
    }
  }
  for (size_t w = 0; w < nwant; ++w) {
    if (want[w].slot != nullptr) continue;
    size_t i = 0;
    while (kept[i]) ++i;
    kept[i] = true;
    Ahead& a = ahead_[i];
    drop(a);
    a.running = a.holds = true;
    a.src = &src;
    a.begin = want[w].begin;
    a.end = want[w].end;
    a.lines = lines;
    a.first_id = want[w].first_id;
    a.interned = interned_;
    worker_arena().execute([&] {
      a.group.run([this, &a] {
        compute_batch(compiled_, *a.src, a.begin, a.end, a.lines, a.first_id, a.updates, &keys_,
                      &scratches_);
      });
    });
  }
}

void StepPipeline::wait(Ahead& a) {
  if (!a.running) return;
  a.running = false;
  worker_arena().execute([&] { a.group.wait(); });
}

void StepPipeline::wait() {
  for (Ahead& a : ahead_) wait(a);
}

void StepPipeline::drop(Ahead& a) {
  wait(a);
  a.holds = false;
}

void StepPipeline::drop() {
  for (Ahead& a : ahead_) drop(a);
}

}  // namespace quor::ingest::internal
