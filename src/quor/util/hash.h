// The hashes of the engine's in-memory tables: one for texts, one finaliser
// for integers. Neither is ever stored: only equal inputs must hash alike,
// and different ones should not, down to the low bits that pick a slot.
#pragma once

#include <cstdint>
#include <string_view>

#define XXH_INLINE_ALL  // short texts hash in a few inlined instructions
#include <xxhash.h>

namespace quor::util {

// XXH3 (64 bits) of the text's bytes.
inline uint64_t text_hash(std::string_view text) { return XXH3_64bits(text.data(), text.size()); }

// Mixes every bit of `x` into every bit of the result (the finaliser of
// MurmurHash3's 64-bit hash): for integer keys such as ids or label tuples.
inline uint64_t mix_bits(uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  x ^= x >> 33;
  return x;
}

}  // namespace quor::util
