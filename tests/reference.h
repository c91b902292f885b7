#pragma once

// A decoder of database files written from the file layout alone, sharing no
// code with the engines, so that tests can check the writer against it. It is
// header-only because the test helper library links only process.cc.
//
// Layout: 256 descriptors (table position, slot count) of 16 bytes, the
// records (key length, data length, key, data) from 4096 on, then the tables
// of 16-byte slots (key hash, record position; empty when the position is 0).
// All integers are 8 bytes, little-endian.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace reference {

struct record {
  std::uint64_t position;
  std::string key, data;
};

struct database {
  std::string error;  // empty when the file is well formed
  std::string bytes;
  std::uint64_t table_position[256] = {};
  std::uint64_t slot_count[256] = {};
  std::vector<record> records;
};

inline std::uint64_t u64(const std::string& b, std::uint64_t at) {
  std::uint64_t v = 0;
  for (int k = 0; k < 8; k++) {
    v |= std::uint64_t{static_cast<unsigned char>(b[at + k])} << (8 * k);
  }
  return v;
}

inline std::uint64_t hash(const std::string& key) {
  std::uint64_t h = 5381;
  for (char c : key)
    h = (h * 33) ^ static_cast<unsigned char>(c);
  return h;
}

// Decodes the file and checks every structural rule of the layout: records
// back to back up to table 0, tables back to back to the end of the file,
// twice as many slots as records per table, and every slot naming a record
// whose key has the slot's hash, in the table of that hash.
inline database parse(const std::string& bytes) {
  database db;
  db.bytes = bytes;
  auto fail = [&](const std::string& why) {
    db.error = why;
    return db;
  };
  if (bytes.size() < 4096) return fail("short header");
  for (int t = 0; t < 256; t++) {
    db.table_position[t] = u64(bytes, 16 * t);
    db.slot_count[t] = u64(bytes, 16 * t + 8);
  }
  std::uint64_t end = db.table_position[0], at = 4096;
  if (end > bytes.size()) return fail("records past the end");
  while (at < end) {
    if (end - at < 16)
      return fail("record header cut at " + std::to_string(at));
    std::uint64_t kl = u64(bytes, at), dl = u64(bytes, at + 8);
    if (kl > end - at - 16 || dl > end - at - 16 - kl)
      return fail("record cut at " + std::to_string(at));
    db.records.push_back(
        {at, bytes.substr(at + 16, kl), bytes.substr(at + 16 + kl, dl)});
    at += 16 + kl + dl;
  }
  std::vector<std::uint64_t> per_table(256, 0), used(256, 0);
  std::map<std::uint64_t, std::uint64_t> hash_at;  // record position -> hash
  for (const record& r : db.records) {
    hash_at[r.position] = hash(r.key);
    per_table[hash(r.key) % 256]++;
  }
  for (int t = 0; t < 256; t++) {
    if (db.table_position[t] != at)
      return fail("gap before table " + std::to_string(t));
    if (db.slot_count[t] != 2 * per_table[t])
      return fail("slot count of table " + std::to_string(t));
    if ((bytes.size() - at) / 16 < db.slot_count[t])
      return fail("table past the end");
    for (std::uint64_t s = 0; s < db.slot_count[t]; s++, at += 16) {
      std::uint64_t h = u64(bytes, at), pos = u64(bytes, at + 8);
      if (pos == 0) {
        if (h != 0) return fail("hash in an empty slot");
        continue;
      }
      used[t]++;
      auto r = hash_at.find(pos);
      if (r == hash_at.end() || r->second != h || h % 256 != std::uint64_t(t))
        return fail("slot names no matching record at " + std::to_string(at));
    }
    if (used[t] != per_table[t])
      return fail("records missing from table " + std::to_string(t));
  }
  if (at != bytes.size()) return fail("bytes after the last table");
  return db;
}

// The data of every record of key, in the order a lookup meets them: from
// slot (hash >> 8) mod slot count onward, wrapping, up to the first empty slot.
inline std::vector<std::string> find(const database& db,
                                     const std::string& key) {
  std::vector<std::string> found;
  std::uint64_t h = hash(key), t = h % 256, n = db.slot_count[t];
  for (std::uint64_t i = 0, s = n ? (h >> 8) % n : 0; i < n;
       i++, s = (s + 1) % n) {
    std::uint64_t at = db.table_position[t] + 16 * s,
                  pos = u64(db.bytes, at + 8);
    if (pos == 0) break;
    if (u64(db.bytes, at) != h) continue;
    std::uint64_t kl = u64(db.bytes, pos), dl = u64(db.bytes, pos + 8);
    if (db.bytes.compare(pos + 16, kl, key) == 0)
      found.push_back(db.bytes.substr(pos + 16 + kl, dl));
  }
  return found;
}

// The first slot, counted from the table's start, where the tables of db
// differ from linear probing done the slow way: each record in file order
// takes the first empty slot from (hash >> 8) mod slot count on, wrapping.
// -1 when every slot is where that puts it.
inline std::int64_t first_misplaced_slot(const database& db) {
  std::uint64_t slot_index = 0;
  for (int t = 0; t < 256; t++) {
    std::uint64_t n = db.slot_count[t];
    std::vector<std::uint64_t> position(n, 0), hashes(n, 0);
    for (const record& r : db.records) {
      std::uint64_t h = hash(r.key);
      if (h % 256 != std::uint64_t(t)) continue;
      std::uint64_t s = (h >> 8) % n;
      while (position[s] != 0)
        s = (s + 1) % n;
      position[s] = r.position;
      hashes[s] = h;
    }
    for (std::uint64_t s = 0; s < n; s++, slot_index++) {
      std::uint64_t at = db.table_position[t] + 16 * s;
      if (u64(db.bytes, at) != hashes[s] ||
          u64(db.bytes, at + 8) != position[s])
        return static_cast<std::int64_t>(slot_index);
    }
  }
  return -1;
}

}  // namespace reference
