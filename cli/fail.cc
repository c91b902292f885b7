#include "cli/fail.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "cli/progress.h"
#include "qef64/qef64.h"

namespace qef64::cli {
namespace {

void (*registered_cleanup)() = nullptr;
volatile sig_atomic_t arrived = 0;  // the signal, or 0

void note_signal(int sig) {
  arrived = sig;
}

void run_cleanup() {
  if (registered_cleanup != nullptr) {
    void (*cleanup)() = registered_cleanup;
    registered_cleanup = nullptr;  // a failure inside it must not recurse
    cleanup();
  }
}

}  // namespace

void fail_on_signals() {
  struct sigaction sa = {};
  sa.sa_handler = note_signal;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: a read waiting on a terminal or a pipe returns EINTR.
  for (int sig : {SIGINT, SIGTERM, SIGHUP})
    (void)sigaction(sig, &sa, nullptr);
}

void fail_if_signalled() {
  int sig = arrived;
  if (sig == 0) return;
  progress_abandon();
  run_cleanup();
  // Killed by the signal, as the shell expects of an interrupted command.
  (void)signal(sig, SIG_DFL);
  (void)raise(sig);
  ::_exit(128 + sig);
}

void fail_cleanup(void (*cleanup)()) {
  registered_cleanup = cleanup;
}

void fail(std::string_view message) {
  run_cleanup();
  progress_abandon();
  std::string line = "qef64: ";
  line += message;
  line += '\n';
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(2, p, left);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) break;  // standard error is gone: nowhere left to report
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  ::_exit(status_failed);
}

std::string error_text(int rc) {
  return qef64_strerror(rc);
}

std::string input_place(std::string_view name, std::uint64_t line,
                        std::uint64_t offset) {
  std::string place(name);
  place += ", line ";
  place += std::to_string(line);
  place += ", byte offset ";
  place += std::to_string(offset);
  place += ": ";
  return place;
}

}  // namespace qef64::cli
