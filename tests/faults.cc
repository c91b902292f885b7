// A preload library that disturbs read(2) and write(2) the way signals,
// pipes and slow devices do, on a schedule fixed by a seed, so that a
// program's results can be compared with and without it:
//
//   QEF64_FAULTS_SEED=n      the schedule; without it every call passes
//   QEF64_FAULTS_COUNT=path  an 8-byte file that counts the faults injected
//                            (it survives _exit, which runs no handlers)
//   QEF64_FAULTS_MMAP=fail   mmap of a file fails with ENODEV, so that the
//                            readers go by position
//   QEF64_FAULTS_ENOSPC=n    writes to descriptors 3 and up fail with ENOSPC
//                            once n bytes went to them: a full disk
//   QEF64_FAULTS_TMPFILE=fail  opening a file without a name (O_TMPFILE)
//                            fails with EOPNOTSUPP, as on a file system
//                            that cannot make one
//   QEF64_FAULTS_KILL=call:n the process kills itself with SIGKILL as it
//                            makes its n-th call (call is read or write, on
//                            descriptors 3 and up, or fsync), before the
//                            call does anything: a crash at a known point
//
// Of the calls with a count above 0, about a quarter fail with EINTR before
// anything moves, a quarter move one byte, a quarter a random part of the
// count, and the rest pass unchanged.

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using read_fn = ssize_t (*)(int, void*, size_t);
using write_fn = ssize_t (*)(int, const void*, size_t);
using mmap_fn = void* (*)(void*, size_t, int, int, int, off_t);
using fsync_fn = int (*)(int);
using openat_fn = int (*)(int, const char*, int, ...);

enum class kill_call { none, read, write, fsync };

struct fault_state {
  bool ready;
  bool active;
  bool fail_mmap;
  bool fail_tmpfile;
  std::uint64_t rng;
  std::int64_t enospc_after;  // -1: the disk never fills
  std::int64_t written;       // to descriptors 3 and up
  volatile std::uint64_t* count;
  kill_call kill_at;
  std::int64_t kill_countdown;  // calls of kill_at left before the kill
  read_fn real_read;
  write_fn real_write;
  mmap_fn real_mmap;
  fsync_fn real_fsync;
  openat_fn real_openat;
};

fault_state state;

void setup() {
  if (state.ready) return;
  state.ready = true;
  state.real_read = reinterpret_cast<read_fn>(dlsym(RTLD_NEXT, "read"));
  state.real_write = reinterpret_cast<write_fn>(dlsym(RTLD_NEXT, "write"));
  state.real_mmap = reinterpret_cast<mmap_fn>(dlsym(RTLD_NEXT, "mmap"));
  state.real_fsync = reinterpret_cast<fsync_fn>(dlsym(RTLD_NEXT, "fsync"));
  state.real_openat = reinterpret_cast<openat_fn>(dlsym(RTLD_NEXT, "openat64"));
  const char* t = std::getenv("QEF64_FAULTS_TMPFILE");
  state.fail_tmpfile = t != nullptr && std::strcmp(t, "fail") == 0;
  const char* k = std::getenv("QEF64_FAULTS_KILL");
  if (k != nullptr) {
    const char* colon = std::strchr(k, ':');
    std::size_t name_len =
        colon != nullptr ? static_cast<std::size_t>(colon - k) : std::strlen(k);
    const struct {
      const char* name;
      kill_call call;
    } calls[] = {{"read", kill_call::read},
                 {"write", kill_call::write},
                 {"fsync", kill_call::fsync}};
    for (const auto& c : calls) {
      if (std::strlen(c.name) == name_len &&
          std::strncmp(k, c.name, name_len) == 0)
        state.kill_at = c.call;
    }
    state.kill_countdown =
        colon != nullptr ? std::strtoll(colon + 1, nullptr, 10) : 1;
  }
  const char* seed = std::getenv("QEF64_FAULTS_SEED");
  if (seed != nullptr) {
    state.active = true;
    state.rng = std::strtoull(seed, nullptr, 10) * 0x9e3779b97f4a7c15ULL + 1;
  }
  const char* m = std::getenv("QEF64_FAULTS_MMAP");
  state.fail_mmap = m != nullptr && std::strcmp(m, "fail") == 0;
  const char* e = std::getenv("QEF64_FAULTS_ENOSPC");
  state.enospc_after = e != nullptr ? std::strtoll(e, nullptr, 10) : -1;
  const char* c = std::getenv("QEF64_FAULTS_COUNT");
  if (c != nullptr) {
    int fd = open(c, O_RDWR | O_CREAT, 0644);
    if (fd != -1 && ftruncate(fd, 8) == 0) {
      void* p = state.real_mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED,
                                fd, 0);
      if (p != MAP_FAILED) state.count = static_cast<std::uint64_t*>(p);
    }
    if (fd != -1) close(fd);
  }
}

std::uint64_t next_random() {
  // xorshift64*: small, and the same sequence on every machine.
  std::uint64_t x = state.rng;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  state.rng = x;
  return x * 2685821657736338717ULL;
}

// Ends the process at the planned call.
void maybe_kill(kill_call call) {
  if (state.kill_at == call && --state.kill_countdown == 0) {
    kill(getpid(), SIGKILL);
  }
}

void counted() {
  if (state.count != nullptr) *state.count = *state.count + 1;
}

// The count to pass on, or -1 for an EINTR without a call.
std::int64_t disturb(size_t n) {
  if (!state.active || n == 0) return static_cast<std::int64_t>(n);
  std::uint64_t r = next_random();
  switch (r % 4) {
    case 0:
      counted();
      return -1;
    case 1:
      if (n > 1) counted();
      return 1;
    case 2: {
      auto k = static_cast<std::int64_t>(1 + (r >> 8) % n);
      if (static_cast<size_t>(k) < n) counted();
      return k;
    }
    default:
      return static_cast<std::int64_t>(n);
  }
}

}  // namespace

extern "C" ssize_t read(int fd, void* buf, size_t n) {
  setup();
  if (fd >= 3) maybe_kill(kill_call::read);
  std::int64_t k = disturb(n);
  if (k == -1) {
    errno = EINTR;
    return -1;
  }
  return state.real_read(fd, buf, static_cast<size_t>(k));
}

extern "C" ssize_t write(int fd, const void* buf, size_t n) {
  setup();
  if (fd >= 3) maybe_kill(kill_call::write);
  if (fd >= 3 && state.enospc_after >= 0 && n > 0) {
    std::int64_t room = state.enospc_after - state.written;
    if (room <= 0) {
      errno = ENOSPC;
      return -1;
    }
    if (static_cast<std::int64_t>(n) > room) n = static_cast<size_t>(room);
  }
  std::int64_t k = disturb(n);
  if (k == -1) {
    errno = EINTR;
    return -1;
  }
  ssize_t w = state.real_write(fd, buf, static_cast<size_t>(k));
  if (fd >= 3 && w > 0) state.written += w;
  return w;
}

extern "C" void* mmap(void* addr, size_t len, int prot, int flags, int fd,
                      off_t off) {
  setup();
  if (state.fail_mmap && fd >= 0 && (flags & MAP_ANONYMOUS) == 0) {
    errno = ENODEV;
    return MAP_FAILED;
  }
  return state.real_mmap(addr, len, prot, flags, fd, off);
}

extern "C" int fsync(int fd) {
  setup();
  maybe_kill(kill_call::fsync);
  return state.real_fsync(fd);
}

// With 64-bit file offsets, callers of openat call openat64.
extern "C" int openat64(int dir, const char* path, int flags, ...) {
  setup();
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    std::va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  if (state.fail_tmpfile && (flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return state.real_openat(dir, path, flags, mode);
}
