#pragma once

#include <cstdint>

#include "db/check.h"

namespace qef64 {

// A reader handed every byte of the file once, front to back, as a window
// reads it: a second pass over the same bytes (a checksum) then costs no
// second read of the file. at is the first byte it has not been given.
struct db_tap {
  void (*take)(void* ctx, const unsigned char* p, std::int64_t len);
  void* ctx;
  std::int64_t at;
};

// A window onto a mapped file for passes that read it front to back. With
// a descriptor of the same file, the window is a buffer filled by pread(2):
// a copy out of the page cache costs less than the page faults of reading
// the mapping the first time (on a virtual machine, several times less),
// and reads ahead on a cold file whatever the mapping was advised. With
// fd -1 it is a stretch of the mapping itself, populated in one call when
// the window moves.
struct db_window {
  const unsigned char* map;  // the whole file, size bytes
  std::int64_t size;
  std::int64_t fd;     // -1: the window lies in the mapping
  unsigned char* buf;  // capacity bytes when fd >= 0
  std::int64_t capacity;
  const unsigned char* at;  // the file's bytes [start, start + held)
  std::int64_t start;
  std::int64_t held;
  std::int64_t cut_at;  // where a read met the end of the file (EPROTO)
  // Null, or given each byte once: a move forward past bytes the tap has
  // not had reads them first; bytes read again are not given again.
  db_tap* tap;
};

// The bytes a window holds at a time, and what it allocates with a
// descriptor. Reading up to window_slack bytes past the bytes held is
// harmless, as it is inside the mapping of any file with records.
constexpr std::int64_t window_capacity = std::int64_t{256} << 10;
constexpr std::int64_t window_slack = 8;

// Sets up an empty window without a tap; with fd >= 0 allocates its
// buffer. 0, or -1 with ENOMEM.
[[nodiscard]] int window_open(db_window* w, const unsigned char* map,
                              std::int64_t size, std::int64_t fd);
void window_close(db_window* w);

// Moves the window to begin at pos. REQUIRES: 0 <= pos <= size. 0, or -1
// with the errno of pread(2), or EPROTO when the file ends before its size
// (at cut_at). window_move(w, size) gives the tap the rest of the file.
[[nodiscard]] int window_move(db_window* w, std::int64_t pos);

// The len bytes at pos, moving the window there when they are not in it;
// null after a failed move. REQUIRES: len <= capacity, pos + len <= size.
inline const unsigned char* window_view(db_window* w, std::int64_t pos,
                                        std::int64_t len) {
  if (pos < w->start || pos - w->start > w->held - len) {
    if (window_move(w, pos) == -1) return nullptr;
  }
  return w->at + (pos - w->start);
}

// After a failed move or copy: -1, errno as it was, and *problem set when
// the failure was the file's end (EPROTO), where a read met it.
[[nodiscard]] int window_failed(const db_window* w, db_problem* problem);

// Copies len bytes at pos into dst without moving the window. 0, or -1 as
// window_move. REQUIRES: pos + len <= size.
[[nodiscard]] int window_copy(db_window* w, unsigned char* dst,
                              std::int64_t pos, std::int64_t len);

}  // namespace qef64
