#pragma once

#include <cstdint>

namespace qef64 {

// db_hash of eight keys at once, for passes that hash every key of a file.
// One key's hash is a chain of dependent steps, several cycles a byte;
// eight chains side by side, in vector registers where the processor has
// them, cost little more than one. Every lane runs as many steps as the
// longest key, each standing still past its own key's end, so that no
// branch depends on the lengths.
constexpr int hash_lanes = 8;
// Keys up to this long go through db_hash_lanes; a longer one would make
// the other lanes wait, and is hashed alone.
constexpr std::int64_t hash_lanes_key = 64;

// out[j] = db_hash(keys[j], lens[j]) for j < hash_lanes.
// REQUIRES: 0 <= lens[j] <= hash_lanes_key; the key is read in 8-byte
// words, so the 7 bytes after its end must be readable too (they change
// nothing). keys[j] may be any readable 8 bytes when lens[j] is 0.
void db_hash_lanes(const unsigned char* const keys[hash_lanes],
                   const std::int64_t lens[hash_lanes],
                   std::uint64_t out[hash_lanes]);

}  // namespace qef64
