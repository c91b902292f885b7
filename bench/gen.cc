// qef64gen profile [seed]: writes deterministic records in the record text
// framing ("+klen,dlen:key->data\n" each, an empty line at the end) to
// standard output, for the benchmarks.
//
//   tiny     1,000,000 records, keys 8-16 bytes, data 8-32 bytes
//   medium   1,000,000 records, keys 18-22 bytes, data 100-1000 bytes
//   large    2,000 records, keys 18-22 bytes, data 1 MiB
//   tiny10m  10,000,000 records like tiny
//   tiny10k  10,000 records like tiny: a file that stays in the caches
//   tiny50m  50,000,000 records like tiny
//   real FILE  one record per line of FILE: the line is the key, its line
//            number (from 1) the data
//
// Keys are distinct: the first six characters spell a bijective scramble of
// the record number, the rest are random. Same profile and seed, same bytes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct rng {
  std::uint64_t state;
  // splitmix64: small, fast, and well mixed in every bit.
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::int64_t between(std::int64_t lo, std::int64_t hi) {
    return lo + static_cast<std::int64_t>(
                    next() % static_cast<std::uint64_t>(hi - lo + 1));
  }
};

constexpr char alphabet[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr std::uint64_t alphabet_size = sizeof alphabet - 1;

std::vector<char> out_buf(std::size_t{1} << 20);
std::size_t out_pos = 0;

void out_flush() {
  if (out_pos == 0) return;
  if (std::fwrite(out_buf.data(), 1, out_pos, stdout) != out_pos) {
    std::perror("qef64gen: write");
    std::exit(111);
  }
  out_pos = 0;
}

void out_put(const char* p, std::size_t n) {
  while (n > 0) {
    if (out_pos == out_buf.size()) out_flush();
    std::size_t k = std::min(n, out_buf.size() - out_pos);
    std::memcpy(out_buf.data() + out_pos, p, k);
    out_pos += k;
    p += k;
    n -= k;
  }
}

void out_number(std::int64_t v) {
  char digits[24];
  int n =
      std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(v));
  out_put(digits, static_cast<std::size_t>(n));
}

void out_record(const char* key, std::size_t key_len, const char* data,
                std::size_t data_len) {
  out_put("+", 1);
  out_number(static_cast<std::int64_t>(key_len));
  out_put(",", 1);
  out_number(static_cast<std::int64_t>(data_len));
  out_put(":", 1);
  out_put(key, key_len);
  out_put("->", 2);
  out_put(data, data_len);
  out_put("\n", 1);
}

struct profile {
  const char* name;
  std::int64_t records;
  std::int64_t key_min, key_max;
  std::int64_t data_min, data_max;
};

constexpr profile profiles[] = {
    {"tiny", 1000000, 8, 16, 8, 32},
    {"medium", 1000000, 18, 22, 100, 1000},
    {"large", 2000, 18, 22, 1 << 20, 1 << 20},
    {"tiny10m", 10000000, 8, 16, 8, 32},
    {"tiny10k", 10000, 8, 16, 8, 32},
    {"tiny50m", 50000000, 8, 16, 8, 32},
};

// Data bytes are slices of one random pool; drawing every byte afresh would
// make the generator, not the programs, the slow part of a run.
constexpr std::size_t pool_size = std::size_t{4} << 20;

void generate(const profile& p, std::uint64_t seed) {
  rng r{seed};
  std::vector<char> pool(pool_size);
  for (char& c : pool)
    c = alphabet[r.next() % alphabet_size];
  char key[64];
  for (std::int64_t i = 0; i < p.records; i++) {
    // Multiplying by an odd number permutes [0, 2^30), which holds every
    // record number; six base-62 digits hold every value below 2^30.
    std::uint64_t id = (static_cast<std::uint64_t>(i) * 0x2545F491ULL) &
                       ((std::uint64_t{1} << 30) - 1);
    auto key_len = static_cast<std::size_t>(r.between(p.key_min, p.key_max));
    for (int k = 0; k < 6; k++) {
      key[k] = alphabet[id % alphabet_size];
      id /= alphabet_size;
    }
    std::uint64_t bits = r.next();
    for (std::size_t k = 6; k < key_len; k++) {
      if (k % 10 == 6) bits = r.next();
      key[k] = alphabet[bits % alphabet_size];
      bits /= alphabet_size;
    }
    auto data_len = static_cast<std::size_t>(r.between(p.data_min, p.data_max));
    std::size_t start = r.next() % (pool_size - data_len + 1);
    out_record(key, key_len, pool.data() + start, data_len);
  }
}

void generate_lines(const char* path) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    std::perror(path);
    std::exit(111);
  }
  std::string line;
  std::int64_t number = 0;
  for (int c; (c = std::getc(f)) != EOF;) {
    if (c != '\n') {
      line.push_back(static_cast<char>(c));
      continue;
    }
    std::string data = std::to_string(++number);
    out_record(line.data(), line.size(), data.data(), data.size());
    line.clear();
  }
  if (!line.empty()) {
    std::string data = std::to_string(++number);
    out_record(line.data(), line.size(), data.data(), data.size());
  }
  std::fclose(f);
}

[[noreturn]] void usage() {
  std::fputs(
      "usage: qef64gen tiny|medium|large|tiny10m|tiny10k|tiny50m [seed]\n"
      "       qef64gen real FILE\n",
      stderr);
  std::exit(100);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) usage();
  if (std::strcmp(argv[1], "real") == 0) {
    if (argc < 3) usage();
    generate_lines(argv[2]);
  } else {
    const profile* chosen = nullptr;
    for (const profile& p : profiles) {
      if (std::strcmp(argv[1], p.name) == 0) chosen = &p;
    }
    if (chosen == nullptr) usage();
    std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    generate(*chosen, seed);
  }
  out_put("\n", 1);
  out_flush();
  return std::fflush(stdout) == 0 ? 0 : 111;
}
