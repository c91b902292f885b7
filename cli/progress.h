#pragma once

// Progress of a long command on standard error: records, megabytes, the
// speed, and the share done and the time left when the total is known.
// On a terminal one line is redrawn a few times a second; elsewhere (with
// --progress) a line is written every few seconds.

#include <cstdint>

namespace qef64::cli {

enum class progress_mode { automatic, on, off };

struct progress {
  bool on;
  bool terminal;          // standard error is one: redraw with "\r"
  std::int64_t total;     // bytes in all, or -1
  std::uint64_t bytes;    // done so far
  std::uint64_t records;  // done so far; the command counts them
  double start;           // seconds, monotonic
  double last;            // when the last line was written
  std::int64_t width;     // of the line on the terminal, to blank it out
};

// automatic: on when standard error is a terminal.
void progress_start(progress* p, progress_mode mode, std::int64_t total);
// n more bytes done; writes a line when the last is old enough.
void progress_read(progress* p, std::uint64_t n);
// A line of what is done so far and then what comes next, which has no
// progress of its own ("writing the hash tables").
void progress_stage(progress* p, const char* next);
// As progress_read, with the count done so far rather than what is new.
void progress_set(progress* p, std::uint64_t bytes);
// The final line (when on), ending the redrawn one.
void progress_done(progress* p);
// Ends a line being redrawn, so that a message starts on a line of its
// own (fail calls it).
void progress_abandon();

}  // namespace qef64::cli
