#include "db/hash_lanes.h"

#include "db/format.h"

namespace qef64 {

namespace {

// The keys one after the other. The processor runs the chains of
// neighbouring keys side by side by itself, as far as the branches on
// their lengths let it.
void hash_one_by_one(const unsigned char* const keys[hash_lanes],
                     const std::int64_t lens[hash_lanes],
                     std::uint64_t out[hash_lanes]) {
  for (int j = 0; j < hash_lanes; j++)
    out[j] = db_hash(keys[j], lens[j]);
}

#if defined(__x86_64__)
// One 64-bit value a lane, the eight lanes one 512-bit register.
using lane_values = std::uint64_t
    __attribute__((vector_size(hash_lanes * sizeof(std::uint64_t))));

// All eight chains in one register, a step of each in a few instructions.
// Narrower vector units gained nothing here over hash_one_by_one
// (measured: with AVX2 and with SSE2 both slower), so only processors with
// AVX-512 run it. Compilers read the caller's arrays as whole vectors: a
// caller that has just written them value by value waits for those stores
// first (entries_walk gathers several groups before it hashes any).
__attribute__((target("avx512f"))) void hash_in_vectors(
    const unsigned char* const keys[hash_lanes],
    const std::int64_t lens[hash_lanes], std::uint64_t out[hash_lanes]) {
  std::uint64_t n[hash_lanes];
  std::int64_t most = 0;
  for (int j = 0; j < hash_lanes; j++) {
    n[j] = static_cast<std::uint64_t>(lens[j]);
    most = lens[j] > most ? lens[j] : most;
  }
  const lane_values len = {n[0], n[1], n[2], n[3], n[4], n[5], n[6], n[7]};
  lane_values h = len - len + db_hash_start;
  for (std::int64_t at = 0; at < most; at += 8) {
    // The next eight bytes of each key; a lane whose key ended reads its
    // first word again, which the mask below ignores.
    std::uint64_t w[hash_lanes];
    for (int j = 0; j < hash_lanes; j++) {
      std::int64_t inside = -static_cast<std::int64_t>(at < lens[j]);
      w[j] = load_u64le(keys[j] + (at & inside));
    }
    lane_values words = {w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]};
    const lane_values base = len - len + static_cast<std::uint64_t>(at);
    for (int k = 0; k < 8; k++) {
      // All ones while at + k < len (the difference wraps), else 0.
      lane_values in_key =
          0 - ((base + static_cast<std::uint64_t>(k) - len) >> 63);
      lane_values step = ((h << 5) + h) ^ (words & 0xff);  // db_hash_step
      words >>= 8;
      h ^= (step ^ h) & in_key;
    }
  }
  for (int j = 0; j < hash_lanes; j++)
    out[j] = h[j];
}

static_assert(db_hash_step(7, 1) == (((std::uint64_t{7} << 5) + 7) ^ 1));
#endif

}  // namespace

void db_hash_lanes(const unsigned char* const keys[hash_lanes],
                   const std::int64_t lens[hash_lanes],
                   std::uint64_t out[hash_lanes]) {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx512f")) {
    hash_in_vectors(keys, lens, out);
    return;
  }
#endif
  hash_one_by_one(keys, lens, out);
}

}  // namespace qef64
