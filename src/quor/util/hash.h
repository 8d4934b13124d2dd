// The hashes of the engine's in-memory tables: one for texts, one finaliser
// for integers. Neither is ever stored: only equal inputs must hash alike,
// and different ones should not, down to the low bits that pick a slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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

// Byte equality for the short texts the hash tables compare (labels,
// categories, key texts), without a library call for each.
inline bool bytes_equal(const char* a, const char* b, size_t n) {
  while (n >= 8) {
    uint64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    if (x != y) return false;
    a += 8;
    b += 8;
    n -= 8;
  }
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

}  // namespace quor::util
