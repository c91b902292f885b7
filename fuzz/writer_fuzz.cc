// The writer and the reader together: records decoded from the input are
// written with the writer engine, and then every key's records must be found
// in the order they were added, with their own data, and nothing else. The
// same records through the spill engine, at a budget the input's length
// picks, must give the same file byte for byte.
//
// Input, per record: a byte b0 and a byte b1, then the key and data bytes.
// b0's low six bits are the key length, bit 6 folds the key bytes to 0 and 1
// (few distinct keys, long probe runs), bit 7 reuses the key of an earlier
// record (b0's low bits pick it) instead of reading one; b1 is the data
// length. Lengths are cut short where the input ends.

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "db/format.h"
#include "db/reader.h"
#include "db/spill.h"
#include "db/writer.h"
#include "fuzz/fuzz_file.h"

using namespace qef64;  // the engines and runtime under test

namespace {

constexpr std::size_t max_records = 3000;

struct record {
  std::string key;
  std::string data;
  std::int64_t position;
};

std::vector<record> decode(const std::uint8_t* p, std::size_t n) {
  std::vector<record> records;
  std::size_t i = 0;
  std::int64_t position = db_header_size;
  while (i < n && records.size() < max_records) {
    unsigned b0 = p[i++];
    unsigned b1 = i < n ? p[i++] : 0;
    record r;
    if ((b0 & 0x80) != 0 && !records.empty()) {
      r.key = records[(b0 & 0x3f) % records.size()].key;
    } else {
      std::size_t k = b0 & 0x3f;
      if (k > n - i) k = n - i;
      r.key.assign(reinterpret_cast<const char*>(p + i), k);
      if ((b0 & 0x40) != 0) {
        for (char& c : r.key)
          c = static_cast<char>(c & 1);
      }
      i += k;
    }
    std::size_t d = b1;
    if (d > n - i) d = n - i;
    r.data.assign(reinterpret_cast<const char*>(p + i), d);
    i += d;
    r.position = position;
    position += static_cast<std::int64_t>(16 + r.key.size() + r.data.size());
    records.push_back(std::move(r));
  }
  return records;
}

const unsigned char* bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
std::int64_t length(const std::string& s) {
  return static_cast<std::int64_t>(s.size());
}

void write_database(int fd, const std::vector<record>& records) {
  static db_writer w;
  fuzz_expect(writer_start(&w, fd) == 0, "writer_start", errno);
  for (const record& r : records) {
    fuzz_expect(writer_add(&w, bytes(r.key), length(r.key), bytes(r.data),
                           length(r.data)) == 0,
                "writer_add", errno);
  }
  fuzz_expect(writer_finish(&w) == 0, "writer_finish", errno);
  writer_release(&w);
}

// An empty scratch file of its own, for the spill engine.
std::int64_t open_spill(void* context) {
  int fd = *static_cast<int*>(context);
  if (ftruncate(fd, 0) == -1 || lseek(fd, 0, SEEK_SET) == -1) return -1;
  return fd;
}

std::string contents(int fd) {
  std::string all(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)), '\0');
  fuzz_expect(
      pread(fd, all.data(), all.size(), 0) == static_cast<ssize_t>(all.size()),
      "read back", errno);
  return all;
}

void compare_spilled(int fd, const std::vector<record>& records,
                     std::int64_t memory) {
  static int db_fd = memfd_create("qef64-fuzz-spilled", 0);
  static int spill_fd = memfd_create("qef64-fuzz-spill", 0);
  static db_writer w;
  static db_spill sp;
  fuzz_expect(db_fd != -1 && spill_fd != -1, "memfd_create", errno);
  fuzz_expect(ftruncate(db_fd, 0) == 0, "ftruncate", errno);
  fuzz_expect(writer_start(&w, db_fd) == 0, "writer_start", errno);
  spill_start(&sp, memory, open_spill, &spill_fd);
  for (const record& r : records) {
    writer_entry e;
    fuzz_expect(writer_put_record(&w, bytes(r.key), length(r.key),
                                  bytes(r.data), length(r.data), &e) == 0,
                "writer_put_record", errno);
    fuzz_expect(spill_add(&sp, e) == 0, "spill_add", errno);
  }
  fuzz_expect(spill_finish(&sp, &w) == 0, "spill_finish", errno);
  fuzz_expect(contents(db_fd) == contents(fd), "spilled file differs", memory);
  spill_release(&sp);
  writer_release(&w);
}

void check_key(db_reader* reader, const std::vector<record>& records,
               const std::string& key, const std::vector<std::size_t>& which) {
  reader_find_start(reader);
  std::int64_t found = 0;
  for (std::size_t i : which) {
    const record& r = records[i];
    int got = reader_find_next(reader, bytes(key), length(key));
    fuzz_expect(got == 1, "a record not found", got, static_cast<long long>(i));
    found++;
    std::int64_t data_pos = r.position + 16 + length(r.key);
    fuzz_expect(reader->data_pos == data_pos, "found another record",
                reader->data_pos, data_pos);
    fuzz_expect(reader->data_len == length(r.data), "data length",
                reader->data_len, length(r.data));
    fuzz_expect(reader->probe_count >= found, "probe count",
                reader->probe_count, found);
    std::string data(r.data.size(), '\0');
    fuzz_expect(
        reader_read(reader, reinterpret_cast<unsigned char*>(data.data()),
                    length(data), data_pos) == 0,
        "data read", errno);
    fuzz_expect(data == r.data, "data bytes");
  }
  int got = reader_find_next(reader, bytes(key), length(key));
  fuzz_expect(got == 0, "a record found past the key's last", got);
  fuzz_expect(reader_find_next(reader, bytes(key), length(key)) == 0,
              "an exhausted lookup found more");
}

void check_all(db_reader* reader, const std::vector<record>& records,
               const std::map<std::string, std::vector<std::size_t>>& keys) {
  for (const auto& [key, which] : keys)
    check_key(reader, records, key, which);
  // Keys next to the stored ones: a byte more, a byte less, the last byte
  // changed. None of them may find anything unless it is itself stored.
  std::size_t tried = 0;
  for (const auto& entry : keys) {
    if (tried++ == 64) break;
    std::string near[3] = {entry.first + '\x01', entry.first, entry.first};
    if (!near[1].empty()) near[1].pop_back();
    if (!near[2].empty())
      near[2].back() = static_cast<char>(near[2].back() ^ 0x80);
    for (const std::string& k : near) {
      if (keys.count(k) != 0) continue;
      fuzz_expect(reader_find(reader, bytes(k), length(k)) == 0,
                  "an absent key found");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::vector<record> records = decode(data, size);
  std::map<std::string, std::vector<std::size_t>> keys;
  std::int64_t file_size = db_header_size;
  for (std::size_t i = 0; i < records.size(); i++) {
    keys[records[i].key].push_back(i);
    file_size += 16 + length(records[i].key) + length(records[i].data) + 32;
  }

  int fd = fuzz_file_fill(nullptr, 0);
  write_database(fd, records);
  fuzz_expect(lseek(fd, 0, SEEK_END) == file_size, "file size",
              lseek(fd, 0, SEEK_END), file_size);
  const std::int64_t budgets[] = {0, 16384, spill_default_memory};
  compare_spilled(fd, records, budgets[size % 3]);

  static db_reader reader;
  reader_init(&reader, fd);
  fuzz_expect(reader.map_addr != nullptr, "a database maps");
  check_all(&reader, records, keys);
  // By position as well, where the system calls keep it affordable.
  if (records.size() <= 64) {
    reader_free(&reader);
    check_all(&reader, records, keys);
  }
  reader_free(&reader);
  return 0;
}
