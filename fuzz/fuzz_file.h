#pragma once

// A scratch file for one fuzz input: the same descriptor serves every input
// of the process, rewritten in place, so that a run makes no new files.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// The descriptor of the scratch file, created on first use.
inline int fuzz_file() {
  static int fd = -1;
  if (fd == -1) {
    fd = memfd_create("qef64-fuzz", 0);
    if (fd == -1) {
      std::perror("memfd_create");
      std::abort();
    }
  }
  return fd;
}

// Replaces the scratch file's contents with the n bytes at data.
inline int fuzz_file_fill(const std::uint8_t* data, std::size_t n) {
  int fd = fuzz_file();
  if (ftruncate(fd, 0) == -1) std::abort();
  std::size_t done = 0;
  while (done < n) {
    ssize_t w = pwrite(fd, data + done, n - done, static_cast<off_t>(done));
    if (w <= 0) std::abort();
    done += static_cast<std::size_t>(w);
  }
  return fd;
}

// Stops the run at a broken expectation; under libFuzzer the abort is the
// crash that it records with its input.
[[noreturn]] inline void fuzz_fail(const char* what, long long a, long long b) {
  std::fprintf(stderr, "fuzz check failed: %s (%lld vs %lld)\n", what, a, b);
  std::abort();
}

inline void fuzz_expect(bool ok, const char* what, long long a = 0,
                        long long b = 0) {
  if (!ok) fuzz_fail(what, a, b);
}
