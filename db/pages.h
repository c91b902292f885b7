#pragma once

#include <cstdint>

#include "db/reader.h"

namespace qef64 {

// The page cache under a reader's mapping, for files read cold or larger
// than memory. A lookup touches two or three pages of the file; with the
// kernel's default advice each fault on a page not in memory reads a
// read-around window (up to read_ahead_kb, megabytes) instead. These
// calls advise the mapping, start reads of pages before they are touched,
// read stretches in ahead of time and say what is in memory.
//
// REQUIRES: the reader is mapped (map_addr not null). Positions and lengths
// are clamped to the file; every call is safe on any stretch of it.

// The system's page size: the unit of everything below.
std::int64_t pages_size();

// A second read-only mapping of the size bytes of the file on fd, advised
// for sequential access (MADV_SEQUENTIAL): for walks front to back, with
// the kernel's read-ahead in large pieces. Null when it cannot be made.
const unsigned char* pages_map_sequential(std::int64_t fd, std::int64_t size);
// Releases a mapping of pages_map_sequential; null is ignored.
void pages_unmap(const unsigned char* addr, std::int64_t size);

// Advises the whole mapping for random access: a fault reads its own page
// only. Advice only; a kernel that refuses it changes nothing else.
void pages_advise_random(const db_reader* r);

// Starts reading [pos, pos + len) into the page cache without waiting
// (madvise MADV_WILLNEED). Advice only: pages already in memory cost a
// system call and nothing else.
void pages_will_need(const db_reader* r, std::int64_t pos, std::int64_t len);

// Whether the page holding byte pos is in memory now (mincore(2)); true when
// the kernel cannot say, so that a caller in doubt takes the cheap path.
bool pages_in_memory(const db_reader* r, std::int64_t pos);

// The bytes of [pos, pos + len) whose pages are in memory now, added to
// *bytes: 0, or -1 with the errno of mincore(2).
[[nodiscard]] int pages_resident(const db_reader* r, std::int64_t pos,
                                 std::int64_t len, std::uint64_t* bytes);

// Reads [pos, pos + len) of the file on fd into the page cache, front to
// back in large reads (at the device's sequential speed, with the kernel's
// read-ahead on fd), stopping early when *stop becomes true (stop may be
// null; another thread sets it, and it is read atomically). 0, or -1 with the
// errno of read(2).
[[nodiscard]] int pages_read_in(std::int64_t fd, std::int64_t pos,
                                std::int64_t len, const bool* stop);

// Locks the pages of [pos, pos + len) of the mapping in memory as they are
// faulted in (mlock2 MLOCK_ONFAULT): 0, or -1 with errno ENOMEM or EPERM
// when RLIMIT_MEMLOCK forbids it. Nothing is read.
[[nodiscard]] int pages_lock(const db_reader* r, std::int64_t pos,
                             std::int64_t len);

// Maps the pages of [pos, pos + len) into the process, reading those not in
// memory (MADV_POPULATE_READ, or a touch of each page where the kernel
// lacks it); locked pages stay in memory from then on. Stops early when
// *stop becomes true.
void pages_populate(const db_reader* r, std::int64_t pos, std::int64_t len,
                    const bool* stop);

}  // namespace qef64
