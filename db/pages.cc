#include "db/pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace qef64 {

namespace {

// Reads of the warming: large enough that the system call is nothing
// beside the transfer, small enough that a stop request is heard soon.
constexpr std::int64_t read_in_chunk = std::int64_t{1} << 20;
// The mincore(2) vector of one call: this many pages at a time.
constexpr std::int64_t resident_batch = 4096;
// Populating in pieces lets a stop request end it between them.
constexpr std::int64_t populate_chunk = std::int64_t{16} << 20;

#ifndef MADV_POPULATE_READ
constexpr int MADV_POPULATE_READ = 22;
#endif
#ifndef MLOCK_ONFAULT
constexpr unsigned MLOCK_ONFAULT = 1;
#endif

// The whole pages that cover [pos, pos + len) clamped to the file, as a
// start address inside the mapping and a length; false when the stretch
// holds no byte of the file.
bool page_span(const db_reader* r, std::int64_t pos, std::int64_t len,
               unsigned char** start, std::size_t* size) {
  if (pos < 0) {
    len += pos;
    pos = 0;
  }
  if (len <= 0 || pos >= r->map_size) return false;
  if (len > r->map_size - pos) len = r->map_size - pos;
  std::int64_t page = pages_size();
  std::int64_t first = pos / page * page;
  std::int64_t end = pos + len;
  *start = const_cast<unsigned char*>(r->map_addr) + first;
  *size = static_cast<std::size_t>(end - first);
  return true;
}

bool stopped(const bool* stop) {
  return stop != nullptr && __atomic_load_n(stop, __ATOMIC_RELAXED);
}

}  // namespace

std::int64_t pages_size() {
  // No system call: glibc answers from what the kernel passed at exec. (A
  // function-local static would need the C++ runtime's guard.)
  return ::sysconf(_SC_PAGESIZE);
}

const unsigned char* pages_map_sequential(std::int64_t fd, std::int64_t size) {
  if (size <= 0) return nullptr;
  void* addr = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ,
                      MAP_SHARED, static_cast<int>(fd), 0);
  if (addr == MAP_FAILED) return nullptr;
  // Advice only: without it the walk reads ahead less, no more.
  (void)::madvise(addr, static_cast<std::size_t>(size), MADV_SEQUENTIAL);
  return static_cast<const unsigned char*>(addr);
}

void pages_unmap(const unsigned char* addr, std::int64_t size) {
  if (addr == nullptr) return;
  (void)::munmap(const_cast<unsigned char*>(addr),
                 static_cast<std::size_t>(size));
}

void pages_advise_random(const db_reader* r) {
  // The mapping is ours and read-only; advice that fails leaves the
  // default read-around, slower on a cold file and otherwise the same.
  (void)::madvise(const_cast<unsigned char*>(r->map_addr),
                  static_cast<std::size_t>(r->map_size), MADV_RANDOM);
}

void pages_will_need(const db_reader* r, std::int64_t pos, std::int64_t len) {
  unsigned char* start;
  std::size_t size;
  if (!page_span(r, pos, len, &start, &size)) return;
  (void)::madvise(start, size, MADV_WILLNEED);
}

bool pages_in_memory(const db_reader* r, std::int64_t pos) {
  unsigned char* start;
  std::size_t size;
  if (!page_span(r, pos, 1, &start, &size)) return true;
  unsigned char in = 1;
  if (::mincore(start, 1, &in) == -1) return true;
  return (in & 1) != 0;
}

int pages_resident(const db_reader* r, std::int64_t pos, std::int64_t len,
                   std::uint64_t* bytes) {
  unsigned char* start;
  std::size_t size;
  if (!page_span(r, pos, len, &start, &size)) return 0;
  std::int64_t page = pages_size();
  // Offsets in the file of the first page and of the stretch's end.
  std::int64_t at = start - r->map_addr;
  std::int64_t end = at + static_cast<std::int64_t>(size);
  if (pos < at) pos = at;
  unsigned char in[resident_batch];
  while (at < end) {
    std::int64_t pages = (end - at + page - 1) / page;
    if (pages > resident_batch) pages = resident_batch;
    if (::mincore(const_cast<unsigned char*>(r->map_addr) + at,
                  static_cast<std::size_t>(pages * page), in) == -1)
      return -1;
    for (std::int64_t i = 0; i < pages; i++, at += page) {
      if ((in[i] & 1) == 0) continue;
      // Only the part of the page inside the stretch counts.
      std::int64_t lo = at < pos ? pos : at;
      std::int64_t hi = at + page > end ? end : at + page;
      *bytes += static_cast<std::uint64_t>(hi - lo);
    }
  }
  return 0;
}

int pages_read_in(std::int64_t fd, std::int64_t pos, std::int64_t len,
                  const bool* stop) {
  auto* buf = static_cast<unsigned char*>(
      std::malloc(static_cast<std::size_t>(read_in_chunk)));
  if (buf == nullptr) return -1;
  int rc = 0;
  while (len > 0 && !stopped(stop)) {
    std::int64_t n = len < read_in_chunk ? len : read_in_chunk;
    ssize_t got = ::pread(static_cast<int>(fd), buf, static_cast<size_t>(n),
                          static_cast<off_t>(pos));
    if (got == -1) {
      if (errno == EINTR) continue;
      rc = -1;
      break;
    }
    if (got == 0) break;  // the file is shorter than it was: nothing to warm
    pos += got;
    len -= got;
  }
  int e = errno;
  std::free(buf);
  errno = e;
  return rc;
}

int pages_lock(const db_reader* r, std::int64_t pos, std::int64_t len) {
  unsigned char* start;
  std::size_t size;
  if (!page_span(r, pos, len, &start, &size)) return 0;
  // glibc 2.36 declares mlock2 in <sys/mman.h> under _GNU_SOURCE.
  return ::mlock2(start, size, MLOCK_ONFAULT);
}

void pages_populate(const db_reader* r, std::int64_t pos, std::int64_t len,
                    const bool* stop) {
  unsigned char* start;
  std::size_t size;
  if (!page_span(r, pos, len, &start, &size)) return;
  auto page = static_cast<std::size_t>(pages_size());
  for (std::size_t done = 0; done < size && !stopped(stop);) {
    std::size_t n = size - done;
    if (n > static_cast<std::size_t>(populate_chunk))
      n = static_cast<std::size_t>(populate_chunk);
    if (::madvise(start + done, n, MADV_POPULATE_READ) == -1 &&
        errno == EINVAL) {
      // Before Linux 5.14: a read of one byte per page faults it in.
      for (std::size_t at = 0; at < n; at += page) {
        (void)*static_cast<volatile const unsigned char*>(start + done + at);
      }
    }
    done += n;
  }
}

}  // namespace qef64
