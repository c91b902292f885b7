// verify_bench FILE [OPENS]: what the structure calls cost on one database,
// warm, in one process:
//   the check at open: check_header on the mapped header, OPENS times
//   (default 200000), beside a whole qef64_open and qef64_close;
//   qef64_verify, on a database opened once and on one opened for each
//   run, and qef64_get_info, each run three times, the best taken.
// Prints one line each, with microseconds or GB/s, in processor time of
// the thread (the machine may be shared). Compare qef64_verify's figure
// with the processor time of `cat FILE > /dev/null` on the same file.
//
// verify_bench --set DIR: qef64_set_verify on the sharded set at DIR,
// opened once, run three times, the best taken: the processor time of the
// whole process (all its threads: the work one core would do) and the wall
// time, each with the set's bytes a second.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/check.h"
#include "qef64/qef64.h"

namespace {

double clock_of(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) +
         static_cast<double>(ts.tv_nsec) * 1e-9;
}

double now() {
  return clock_of(CLOCK_THREAD_CPUTIME_ID);
}

[[noreturn]] void die(const char* what, int rc) {
  std::fprintf(stderr, "verify_bench: %s: %s\n", what, qef64_strerror(rc));
  std::exit(111);
}

template <typename F>
double best_of_three(F f) {
  double best = 1e30;
  for (int i = 0; i < 3; i++) {
    double t0 = now();
    f();
    double t = now() - t0;
    if (t < best) best = t;
  }
  return best;
}

int bench_set(const char* path) {
  qef64_set* set;
  int rc = qef64_set_open(path, &set);
  if (rc != 0) die(path, rc);
  double bytes = 0;
  for (std::size_t i = 0; i < qef64_set_shards(set); i++) {
    qef64_info info;
    if (qef64_get_info(qef64_set_shard(set, i), &info) != 0)
      die("qef64_get_info", EPROTO);
    bytes += static_cast<double>(info.file_bytes);
  }
  double cpu = 1e30, wall = 1e30;
  for (int i = 0; i < 3; i++) {
    double c0 = clock_of(CLOCK_PROCESS_CPUTIME_ID);
    double w0 = clock_of(CLOCK_MONOTONIC);
    rc = qef64_set_verify(set);
    if (rc != 0) die("qef64_set_verify", rc);
    cpu = std::min(cpu, clock_of(CLOCK_PROCESS_CPUTIME_ID) - c0);
    wall = std::min(wall, clock_of(CLOCK_MONOTONIC) - w0);
  }
  std::printf(
      "qef64_set_verify: %zu shards, %.0f bytes, processor %.3f s, %.3f "
      "GB/s; wall %.3f s, %.3f GB/s\n",
      qef64_set_shards(set), bytes, cpu, bytes / 1e9 / cpu, wall,
      bytes / 1e9 / wall);
  qef64_set_close(set);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--set") == 0)
    return bench_set(argv[2]);
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: verify_bench FILE [OPENS] | verify_bench --set DIR\n");
    return 100;
  }
  const char* path = argv[1];
  long opens = argc > 2 ? std::atol(argv[2]) : 200000;
  int fd = open(path, O_RDONLY);
  if (fd == -1) die(path, errno);
  struct stat st;
  if (fstat(fd, &st) == -1) die(path, errno);
  auto size = static_cast<std::int64_t>(st.st_size);
  void* map = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ,
                   MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) die(path, errno);
  const auto* bytes = static_cast<const unsigned char*>(map);

  qef64::db_layout layout;
  std::int64_t sink = 0;
  double t0 = now();
  for (long i = 0; i < opens; i++) {
    if (qef64::check_header(bytes, size, &layout, nullptr) != 0)
      die(path, EPROTO);
    sink += layout.records;
    // Keeps the compiler from hoisting the check out of the loop.
    __asm__ volatile("" : : "r"(bytes) : "memory");
  }
  double check = (now() - t0) / static_cast<double>(opens);
  t0 = now();
  for (long i = 0; i < opens / 10; i++) {
    qef64_db* db;
    int rc = qef64_open(path, &db);
    if (rc != 0) die(path, rc);
    qef64_close(db);
  }
  double open_close = (now() - t0) / static_cast<double>(opens / 10);
  std::printf("check at open: %.3f us (qef64_open + qef64_close: %.1f us)\n",
              check * 1e6, open_close * 1e6);

  double gb = static_cast<double>(size) / 1e9;
  qef64_db* db;
  int rc = qef64_open(path, &db);
  if (rc != 0) die(path, rc);
  double verify = best_of_three([&] {
    qef64_problem p;
    int r = qef64_verify_problem(db, &p);
    if (r == EPROTO) {
      std::printf("damaged at %llu: %s\n",
                  static_cast<unsigned long long>(p.offset), p.what);
    } else if (r != 0) {
      die("qef64_verify", r);
    }
  });
  std::printf("qef64_verify: %.3f s, %.2f GB/s\n", verify, gb / verify);
  qef64_close(db);

  // A fresh open each time, so that the mapping's page faults are counted
  // as a command that opens and verifies pays them.
  double fresh = best_of_three([&] {
    qef64_db* d;
    if (qef64_open(path, &d) != 0 || qef64_verify(d) != 0)
      die("verify", EPROTO);
    qef64_close(d);
  });
  std::printf("qef64_open + qef64_verify + qef64_close: %.3f s, %.2f GB/s\n",
              fresh, gb / fresh);

  rc = qef64_open(path, &db);
  if (rc != 0) die(path, rc);
  qef64_info info;
  double info_time = best_of_three([&] {
    if (qef64_get_info(db, &info) != 0) die("qef64_get_info", EPROTO);
  });
  std::printf("qef64_get_info: %.3f s (records %llu, longest probe %llu)\n",
              info_time, static_cast<unsigned long long>(info.records),
              static_cast<unsigned long long>(info.longest_probe));
  qef64_close(db);
  return sink == -1 ? 1 : 0;
}
