#pragma once

#include <cstdint>

namespace qef64 {

// The hash that spreads the records of a sharded set over its shards: shard
// = db_shard_hash(key) mod the shard count. It must not follow db_hash,
// which picks the table inside each shard: with shard and table drawn from
// one hash, each shard would fill only the tables that its residue allows.
// So it is another function: 64-bit FNV-1a over the key bytes, then the
// splitmix64 finaliser, whose every output bit depends on every input bit
// (FNV-1a alone leaves its low bits, the ones a small modulus reads, weakly
// mixed).
constexpr std::uint64_t db_shard_hash(const unsigned char* key,
                                      std::int64_t len) {
  std::uint64_t h = 14695981039346656037ULL;
  for (std::int64_t i = 0; i < len; i++) {
    h = (h ^ key[i]) * 1099511628211ULL;
  }
  h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ULL;
  h = (h ^ (h >> 27)) * 0x94D049BB133111EBULL;
  return h ^ (h >> 31);
}

}  // namespace qef64
