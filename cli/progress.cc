#include "cli/progress.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string>

namespace qef64::cli {
namespace {

constexpr double terminal_interval = 0.25;
constexpr double log_interval = 5;

progress* drawing = nullptr;  // whose line the terminal shows unfinished

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::string text(const progress* p, double elapsed, bool final) {
  char line[256];
  double mb = static_cast<double>(p->bytes) / 1e6;
  double rate = elapsed > 0 ? mb / elapsed : 0;
  int n = p->records > 0
              ? std::snprintf(line, sizeof line, "qef64: %llu records, %.1f MB",
                              static_cast<unsigned long long>(p->records), mb)
              : std::snprintf(line, sizeof line, "qef64: %.1f MB", mb);
  std::string s(line, static_cast<std::size_t>(n));
  if (final) {
    n = std::snprintf(line, sizeof line, " in %.1f s, %.1f MB/s", elapsed,
                      rate);
  } else if (p->total > 0) {
    double share =
        static_cast<double>(p->bytes) / static_cast<double>(p->total);
    double left =
        rate > 0 ? (static_cast<double>(p->total) / 1e6 - mb) / rate : 0;
    long long secs = std::llround(left);
    n = std::snprintf(line, sizeof line,
                      ", %.1f MB/s, %.0f%%, %lld:%02lld left", rate,
                      share * 100, secs / 60, secs % 60);
  } else {
    n = std::snprintf(line, sizeof line, ", %.1f MB/s", rate);
  }
  s.append(line, static_cast<std::size_t>(n));
  return s;
}

void show(progress* p, const std::string& s, bool final) {
  std::string out;
  if (p->terminal) {
    out = "\r" + s;
    // Blanks over the rest of a longer line drawn before.
    for (auto w = static_cast<std::int64_t>(s.size()); w < p->width; w++)
      out += ' ';
    p->width = static_cast<std::int64_t>(s.size());
    drawing = p;
    if (final) {
      out += '\n';
      drawing = nullptr;
    }
  } else {
    out = s + "\n";
  }
  const char* c = out.data();
  std::size_t left = out.size();
  while (left > 0) {
    ssize_t w = ::write(2, c, left);
    if (w == -1 && errno == EINTR) continue;
    if (w <= 0) return;  // progress is no reason to fail
    c += w;
    left -= static_cast<std::size_t>(w);
  }
}

}  // namespace

void progress_start(progress* p, progress_mode mode, std::int64_t total) {
  *p = {};
  p->terminal = ::isatty(2) == 1;
  p->on = mode == progress_mode::on ||
          (mode == progress_mode::automatic && p->terminal);
  p->total = total;
  p->start = now();
  p->last = p->start;
}

void progress_read(progress* p, std::uint64_t n) {
  p->bytes += n;
  if (!p->on) return;
  double t = now();
  if (t - p->last < (p->terminal ? terminal_interval : log_interval)) return;
  p->last = t;
  show(p, text(p, t - p->start, false), false);
}

void progress_stage(progress* p, const char* next) {
  if (!p->on) return;
  std::string s = text(p, now() - p->start, true);
  s += ", ";
  s += next;
  show(p, s, false);
}

void progress_set(progress* p, std::uint64_t bytes) {
  if (bytes < p->bytes) bytes = p->bytes;  // what was counted stays
  progress_read(p, bytes - p->bytes);
}

void progress_done(progress* p) {
  if (!p->on) return;
  show(p, text(p, now() - p->start, true), true);
  p->on = false;
}

void progress_abandon() {
  if (drawing == nullptr) return;
  drawing = nullptr;
  (void)::write(2, "\n", 1);  // on the way to a message that may fail too
}

}  // namespace qef64::cli
