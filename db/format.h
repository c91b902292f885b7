#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace qef64 {

// The database file: a header of db_table_count descriptors (table position,
// slot count), the records (key length, data length, key, data) from
// db_header_size on, then the hash tables, slot by slot (key hash, record
// position; an empty slot is all zero). Every integer is 8 bytes,
// little-endian; every length and position is at most db_max_position.

constexpr std::int64_t db_table_count = 256;
constexpr std::int64_t db_descriptor_size = 16;
constexpr std::int64_t db_header_size = db_table_count * db_descriptor_size;
constexpr std::int64_t db_slot_size = 16;
constexpr std::int64_t db_record_header_size = 16;
constexpr std::int64_t db_max_position = (std::int64_t{1} << 60) - 1;
constexpr std::uint64_t db_hash_start = 5381;
static_assert(db_header_size == 4096);
static_assert(db_max_position == 1152921504606846975);

// One step of the key hash; a key hashed byte by byte through it arrives at
// db_hash of the whole key.
constexpr std::uint64_t db_hash_step(std::uint64_t h, std::uint32_t b) {
  return (h * 33) ^ b;
}

// The 64-bit key hash: 5381, then db_hash_step for each byte; 5381 for a
// length <= 0.
constexpr std::uint64_t db_hash(const unsigned char* key, std::int64_t len) {
  std::uint64_t h = db_hash_start;
  std::int64_t i = 0;
  // Four steps per round: the chain of steps is the same, the loop's own
  // counting and branching a quarter.
  for (; len - i >= 4; i += 4) {
    h = db_hash_step(h, key[i]);
    h = db_hash_step(h, key[i + 1]);
    h = db_hash_step(h, key[i + 2]);
    h = db_hash_step(h, key[i + 3]);
  }
  for (; i < len; i++)
    h = db_hash_step(h, key[i]);
  return h;
}

// The table a hash selects, and where its probe starts in a table of n slots.
constexpr std::int64_t db_hash_table(std::uint64_t h) {
  return static_cast<std::int64_t>(h % db_table_count);
}
constexpr std::int64_t db_hash_start_slot(std::uint64_t h, std::int64_t n) {
  return static_cast<std::int64_t>((h >> 8) % static_cast<std::uint64_t>(n));
}

static_assert(db_hash_step(5381, 'a') == 177604);
static_assert(db_hash_table(5381) == 5 && (5381 >> 8) == 21);

// The file's integers: 8 bytes at dst or src, least significant first.
constexpr void store_u64le(unsigned char* dst, std::uint64_t value) {
  // g++ does not merge the byte loop into one store; on a little-endian
  // host the value's own bytes are already in file order.
  if (!std::is_constant_evaluated() &&
      std::endian::native == std::endian::little) {
    std::memcpy(dst, &value, 8);
    return;
  }
  for (int k = 0; k < 8; k++) {
    dst[k] = static_cast<unsigned char>(value >> (8 * k));
  }
}

constexpr std::uint64_t load_u64le(const unsigned char* src) {
  std::uint64_t value = 0;
  if (!std::is_constant_evaluated() &&
      std::endian::native == std::endian::little) {
    std::memcpy(&value, src, 8);
    return value;
  }
  for (int k = 7; k >= 0; k--)
    value = (value << 8) | src[k];
  return value;
}

// A decoded integer taken as a signed value, as the engines handle it; the
// conversion is modulo 2^64, so a top bit set gives a negative number.
constexpr std::int64_t load_i64le(const unsigned char* src) {
  return static_cast<std::int64_t>(load_u64le(src));
}

}  // namespace qef64
