#include "db/window.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace qef64 {

namespace {

constexpr std::int64_t page_size = 4096;

// len bytes at pos into dst by pread(2), retrying EINTR and short counts.
int read_at(db_window* w, unsigned char* dst, std::int64_t pos,
            std::int64_t len) {
  while (len > 0) {
    ssize_t r = ::pread(static_cast<int>(w->fd), dst, static_cast<size_t>(len),
                        static_cast<off_t>(pos));
    if (r == -1) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) {
      w->cut_at = pos;
      errno = EPROTO;
      return -1;
    }
    dst += r;
    pos += r;
    len -= r;
  }
  return 0;
}

// The n bytes at pos into the window, which then holds them: 0, or -1 as
// window_move.
int fill(db_window* w, std::int64_t pos, std::int64_t n) {
  w->start = pos;
  w->held = 0;
  if (w->fd < 0) {
    w->at = w->map + pos;
    // One call maps the window's pages, where touching them would fault
    // page by page; a kernel without the advice leaves that to the faults.
    std::int64_t from = pos / page_size * page_size;
    auto* p = const_cast<unsigned char*>(w->map + from);
    (void)::madvise(p, static_cast<size_t>(pos + n - from), MADV_POPULATE_READ);
  } else if (read_at(w, w->buf, pos, n) == -1) {
    return -1;
  }
  w->held = n;
  return 0;
}

// Gives the tap what the window holds beyond what it has had.
void tap_held(db_window* w) {
  db_tap* t = w->tap;
  std::int64_t end = w->start + w->held;
  if (t == nullptr || t->at < w->start || t->at >= end) return;
  t->take(t->ctx, w->at + (t->at - w->start), end - t->at);
  t->at = end;
}

}  // namespace

int window_open(db_window* w, const unsigned char* map, std::int64_t size,
                std::int64_t fd) {
  *w = {map, size, fd, nullptr, window_capacity, map, 0, 0, size, nullptr};
  if (fd < 0) return 0;
  // Zeroed, and 8 bytes longer than the window: db_hash_lanes reads a few
  // bytes past the key it hashes.
  w->buf = static_cast<unsigned char*>(
      std::calloc(static_cast<size_t>(w->capacity + window_slack), 1));
  if (w->buf == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  w->at = w->buf;
  return 0;
}

void window_close(db_window* w) {
  std::free(w->buf);
  w->buf = nullptr;
  w->held = 0;
}

int window_move(db_window* w, std::int64_t pos) {
  // The bytes a move forward would pass over go to the tap first, through
  // the window, so that it is given the file in order.
  while (w->tap != nullptr && w->tap->at < pos) {
    std::int64_t at = w->tap->at;
    if (fill(w, at, std::min(pos - at, w->capacity)) == -1) return -1;
    tap_held(w);
  }
  if (fill(w, pos, std::min(w->size - pos, w->capacity)) == -1) return -1;
  tap_held(w);
  return 0;
}

int window_failed(const db_window* w, db_problem* problem) {
  if (errno == EPROTO) *problem = {w->cut_at, "the file ends before its size"};
  return -1;
}

int window_copy(db_window* w, unsigned char* dst, std::int64_t pos,
                std::int64_t len) {
  if (w->fd < 0) {
    std::memcpy(dst, w->map + pos, static_cast<size_t>(len));
    return 0;
  }
  return read_at(w, dst, pos, len);
}

}  // namespace qef64
