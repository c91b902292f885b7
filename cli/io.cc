#include "cli/io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/fail.h"
#include "cli/progress.h"

namespace qef64::cli {
namespace {

constexpr std::size_t input_start_size = std::size_t{1} << 20;
constexpr std::size_t output_size = std::size_t{1} << 18;

[[noreturn]] void fail_read(const input* in, int err) {
  fail("unable to read " + in->name + ": " + error_text(err));
}

// Grows the buffer to hold at least n bytes; the unread ones are at 0.
void input_grow(input* in, std::size_t n) {
  std::size_t cap = in->cap;
  while (cap < n) {
    if (cap > (SIZE_MAX - input_padding) / 2) fail_read(in, ENOMEM);
    cap *= 2;
  }
  void* p = std::realloc(in->buf, cap + input_padding);
  if (p == nullptr) fail_read(in, ENOMEM);
  in->buf = static_cast<unsigned char*>(p);
  in->cap = cap;
}

// One read(2) into the free space after end; false at the end of input.
bool input_read(input* in) {
  if (in->eof) return false;
  std::size_t room = in->cap - in->end;
  if (room > io_call_max) room = io_call_max;
  for (;;) {
    fail_if_signalled();
    ssize_t n = ::read(in->fd, in->buf + in->end, room);
    if (n == -1 && errno == EINTR) continue;
    if (n == -1) fail_read(in, errno);
    if (n == 0) {
      in->eof = true;
      return false;
    }
    in->end += static_cast<std::size_t>(n);
    // The JSON parser reads its padding: give it defined bytes.
    std::memset(in->buf + in->end, 0, input_padding);
    if (in->meter != nullptr)
      progress_read(in->meter, static_cast<std::uint64_t>(n));
    return true;
  }
}

// Makes room for n unread bytes at the buffer's end: the unread bytes move
// to its start, and it grows when even that is not enough.
void input_make_room(input* in, std::size_t n) {
  if (in->pos > 0) {
    std::size_t unread = in->end - in->pos;
    std::memmove(in->buf, in->buf + in->pos, unread);
    in->base += in->pos;
    in->pos = 0;
    in->end = unread;
  }
  if (in->cap < n) input_grow(in, n);
}

unsigned char out_buf[output_size];
std::size_t out_len = 0;

void write_all(const unsigned char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(1, p, n > io_call_max ? io_call_max : n);
    if (w == -1 && errno == EINTR) continue;
    if (w == -1) fail("unable to write output: " + error_text(errno));
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

}  // namespace

void input_open(input* in, const char* path) {
  *in = {};
  in->fd = 0;
  in->name = "standard input";
  in->size = -1;
  if (std::strcmp(path, "-") != 0) {
    in->name = path;
    do {
      in->fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (in->fd == -1 && errno == EINTR);
    if (in->fd == -1) fail_read(in, errno);
  }
  struct stat st;
  if (::fstat(in->fd, &st) == -1) fail_read(in, errno);
  if (S_ISDIR(st.st_mode)) fail_read(in, EISDIR);
  if (S_ISREG(st.st_mode)) in->size = st.st_size;
  in->buf = static_cast<unsigned char*>(
      std::malloc(input_start_size + input_padding));
  if (in->buf == nullptr) fail_read(in, ENOMEM);
  in->cap = input_start_size;
  std::memset(in->buf, 0, input_padding);
}

void input_close(input* in) {
  if (in->fd > 0) (void)::close(in->fd);  // read-only: nothing to lose
  std::free(in->buf);
  in->buf = nullptr;
}

bool input_need(input* in, std::size_t n) {
  while (in->end - in->pos < n) {
    if (in->cap - in->pos < n) input_make_room(in, n);
    if (!input_read(in)) return false;
  }
  return true;
}

bool input_line(input* in, unsigned char delim, std::string_view* line,
                bool* ended) {
  std::size_t scanned = 0;  // unread bytes known to hold no delim
  for (;;) {
    unsigned char* from = in->buf + in->pos;
    void* found =
        std::memchr(from + scanned, delim, in->end - in->pos - scanned);
    if (found != nullptr) {
      auto* at = static_cast<unsigned char*>(found);
      *line = {reinterpret_cast<const char*>(from),
               static_cast<std::size_t>(at - from)};
      *ended = true;
      in->pos = static_cast<std::size_t>(at - in->buf) + 1;
      in->line++;
      return true;
    }
    scanned = in->end - in->pos;
    // A full buffer: the unread bytes move to its front, and it doubles
    // once they fill more than half of it, so that a long line costs
    // moves of a bounded multiple of its length.
    if (in->end == in->cap)
      input_make_room(in, scanned > in->cap / 2 ? 2 * in->cap : scanned);
    if (!input_read(in)) break;
  }
  if (in->end == in->pos) return false;
  *line = {reinterpret_cast<const char*>(in->buf + in->pos), in->end - in->pos};
  *ended = false;
  in->pos = in->end;
  in->line++;
  return true;
}

void output_put(const void* bytes, std::size_t len) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  if (len > output_size - out_len) {
    output_flush();
    if (len >= output_size) {
      write_all(p, len);
      return;
    }
  }
  std::memcpy(out_buf + out_len, p, len);
  out_len += len;
}

void output_flush() {
  write_all(out_buf, out_len);
  out_len = 0;
}

}  // namespace qef64::cli
