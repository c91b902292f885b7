// The building half of the C interface: the writer engine on a temporary
// file beside the final path, committed the way qef64make commits (the file
// complete and on disk before the rename) and, unlike it, cleaned up after
// any failure.

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/format.h"
#include "db/writer.h"
#include "qef64/qef64.h"

struct qef64_builder {
  qef64::db_writer writer;  // 16 KiB of buffers: the handle is on the heap
  int fd;                   // the temporary file; -1 once closed
  int dir_fd;               // the directory of the final path
  pid_t owner;              // the process that opened the builder
  int failure;              // the first failure; the builder is spent then
  char* temp_name;          // both names are relative to dir_fd
  char* final_name;
};

namespace qef64 {
namespace {

// Temporary names are ".NAME.tmp.PID.N.R": the process, a counter for the
// builders of this process, and a few clock bits against a stale file of a
// process that had the same number.
constexpr std::size_t temp_suffix_room = 64;
constexpr std::size_t name_max = 255;
constexpr int create_attempts = 100;

std::atomic<std::uint64_t> builders_made{0};

// This process's id, kept up to date across fork by a handler that runs in
// every child: getpid(2) is a system call, too slow to make once per record
// to tell a builder inherited by a child from its parent's.
std::atomic<pid_t> this_process{0};
pthread_once_t fork_watch = PTHREAD_ONCE_INIT;

void note_process() {
  this_process.store(::getpid(), std::memory_order_relaxed);
}
void watch_forks() {
  note_process();
  (void)::pthread_atfork(nullptr, nullptr, note_process);
}
pid_t current_process() {
  return this_process.load(std::memory_order_relaxed);
}

// Splits path into its directory, opened, and its last name: 0 or an errno.
int open_directory(const char* path, int* dir_fd, char** name) {
  const char* slash = std::strrchr(path, '/');
  const char* base = slash == nullptr ? path : slash + 1;
  if (*base == '\0') return *path == '\0' ? ENOENT : EISDIR;
  std::size_t dir_len =
      slash == nullptr
          ? 0
          : (slash == path ? 1 : static_cast<std::size_t>(slash - path));
  char* dir = static_cast<char*>(std::malloc(dir_len + 2));
  if (dir == nullptr) return ENOMEM;
  if (dir_len == 0) {
    std::memcpy(dir, ".", 2);
  } else {
    std::memcpy(dir, path, dir_len);
    dir[dir_len] = '\0';
  }
  *dir_fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int e = errno;
  std::free(dir);
  if (*dir_fd == -1) return e;
  *name = ::strdup(base);
  if (*name == nullptr) {
    (void)::close(*dir_fd);
    return ENOMEM;
  }
  return 0;
}

// Creates a new file under a fresh name in the directory: O_EXCL makes the
// creation fail rather than open anything that is there, a symbolic link
// included. 0 with b->fd and b->temp_name set, or an errno.
int create_temp(qef64_builder* b) {
  std::size_t base_len = std::strlen(b->final_name);
  if (base_len > name_max - temp_suffix_room) {
    base_len = name_max - temp_suffix_room;
  }
  std::size_t size = base_len + temp_suffix_room + 1;
  b->temp_name = static_cast<char*>(std::malloc(size));
  if (b->temp_name == nullptr) return ENOMEM;
  for (int attempt = 0; attempt < create_attempts; attempt++) {
    struct timespec now;
    (void)::clock_gettime(CLOCK_MONOTONIC, &now);
    std::snprintf(b->temp_name, size, ".%.*s.tmp.%ld.%llu.%lx",
                  static_cast<int>(base_len), b->final_name,
                  static_cast<long>(b->owner),
                  static_cast<unsigned long long>(builders_made++),
                  static_cast<unsigned long>(now.tv_nsec) & 0xfffffUL);
    b->fd =
        ::openat(b->dir_fd, b->temp_name,
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (b->fd != -1) return 0;
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

// When the final name already holds a file, the new one takes over its
// owner, group (where this process may set them) and permission bits, so
// that a rebuild neither widens nor narrows who can read the database.
int inherit_access(qef64_builder* b) {
  struct stat st;
  if (::fstatat(b->dir_fd, b->final_name, &st, 0) == -1) return 0;
  if (!S_ISREG(st.st_mode)) return 0;
  // Owner first: changing it clears set-user-ID bits that fchmod then sets.
  (void)::fchown(b->fd, st.st_uid, st.st_gid);
  if (::fchmod(b->fd, st.st_mode & 07777) == -1) return errno;
  return 0;
}

// Closes what is still open and, in the process that made it, removes the
// temporary file; then frees everything.
void destroy(qef64_builder* b, bool remove_temp) {
  if (b->fd != -1) (void)::close(b->fd);
  if (remove_temp && b->temp_name != nullptr && b->owner == current_process()) {
    (void)::unlinkat(b->dir_fd, b->temp_name, 0);
  }
  if (b->dir_fd != -1) (void)::close(b->dir_fd);
  writer_release(&b->writer);
  std::free(b->temp_name);
  std::free(b->final_name);
  std::free(b);
}

// The builder's standing failure, which every call reports until the end.
int check(const qef64_builder* b) {
  if (b->owner != current_process()) return EBUSY;
  return b->failure;
}

int fail(qef64_builder* b, int e) {
  b->failure = e;
  return e;
}

// Finishes the file and puts it at the final name: 0, or the errno of the
// step that failed, with the rename not made.
int finish(qef64_builder* b) {
  if (writer_finish(&b->writer) == -1) return errno;
  if (::fsync(b->fd) == -1) return errno;
  int fd = b->fd;
  b->fd = -1;
  if (::close(fd) == -1) return errno;
  if (::renameat(b->dir_fd, b->temp_name, b->dir_fd, b->final_name) == -1)
    return errno;
  return 0;
}

}  // namespace
}  // namespace qef64

extern "C" {

int qef64_builder_open(const char* path, qef64_builder** out) {
  using namespace qef64;
  *out = nullptr;
  auto* b = static_cast<qef64_builder*>(std::calloc(1, sizeof(qef64_builder)));
  if (b == nullptr) return ENOMEM;
  b->fd = -1;
  b->dir_fd = -1;
  (void)::pthread_once(&fork_watch, watch_forks);
  b->owner = current_process();
  int rc = open_directory(path, &b->dir_fd, &b->final_name);
  if (rc == 0) rc = create_temp(b);
  if (rc == 0) rc = inherit_access(b);
  if (rc == 0 && writer_start(&b->writer, b->fd) == -1) rc = errno;
  if (rc != 0) {
    destroy(b, true);
    return rc;
  }
  *out = b;
  return 0;
}

int qef64_builder_add(qef64_builder* b, const void* key, size_t key_len,
                      const void* data, size_t data_len) {
  using namespace qef64;
  int rc = check(b);
  if (rc != 0) return rc;
  // Longer than any file may be; caught here, before the lengths turn into
  // the engine's signed ones.
  constexpr auto limit = static_cast<size_t>(db_max_position);
  if (key_len > limit || data_len > limit) return fail(b, ENOMEM);
  if (writer_add(&b->writer, static_cast<const unsigned char*>(key),
                 static_cast<std::int64_t>(key_len),
                 static_cast<const unsigned char*>(data),
                 static_cast<std::int64_t>(data_len)) == -1)
    return fail(b, errno);
  return 0;
}

int qef64_builder_commit(qef64_builder* b) {
  using namespace qef64;
  int rc = check(b);
  if (rc == 0) rc = finish(b);
  if (rc != 0) {
    destroy(b, true);
    return rc;
  }
  // The rename is made; the directory's fsync makes it last. Its failure is
  // reported, but the new file is in place either way.
  if (::fsync(b->dir_fd) == -1) rc = errno;
  destroy(b, false);
  return rc;
}

void qef64_builder_abort(qef64_builder* b) {
  if (b != nullptr) qef64::destroy(b, true);
}

}  // extern "C"
