// The building half of the C interface: the writer engine on a file beside
// the final path, its entries kept within a memory budget by the spill
// engine, committed the way qef64make commits (the file complete and on
// disk before the rename) and, unlike it, cleaned up after any failure.
//
// Where the file system allows it, neither file has a name while it is
// written (O_TMPFILE): a process killed at any moment leaves nothing in the
// directory. The database gets a temporary name only once it is complete
// and on disk, just before the rename; the spill file never gets one.

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

#include "db/access.h"
#include "db/format.h"
#include "db/spill.h"
#include "db/writer.h"
#include "qef64/qef64.h"

struct qef64_builder {
  qef64::db_writer writer;  // 28 KiB of buffers and tables with the spill:
  qef64::db_spill spill;    // the handle is on the heap
  int fd;                   // the database being written; -1 once closed
  int spill_fd;             // the spill file, which never keeps a name
  int dir_fd;               // the directory of the final path
  pid_t owner;              // the process that opened the builder
  int failure;              // the first failure; the builder is spent then
  bool named;               // the database has temp_name in the directory
  char* temp_name;          // both names are relative to dir_fd
  char* final_name;
};

namespace qef64 {
namespace {

// Temporary names are ".NAME.tmp.PID.N.R" (".NAME.spill..." for a spill
// file where no unnamed one can be made): the process, a counter for the
// names this process made, and a few clock bits against a stale file of a
// process that had the same number.
constexpr std::size_t temp_suffix_room = 64;
constexpr std::size_t name_max = 255;
constexpr std::size_t temp_name_size = name_max + 1;
constexpr int create_attempts = 100;

std::atomic<std::uint64_t> names_made{0};

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

// Writes a fresh temporary name for the final name into name
// (temp_name_size bytes).
void next_name(const qef64_builder* b, const char* kind, char* name) {
  std::size_t base_len = std::strlen(b->final_name);
  if (base_len > name_max - temp_suffix_room) {
    base_len = name_max - temp_suffix_room;
  }
  struct timespec now;
  (void)::clock_gettime(CLOCK_MONOTONIC, &now);
  std::snprintf(name, temp_name_size, ".%.*s.%s.%ld.%llu.%lx",
                static_cast<int>(base_len), b->final_name, kind,
                static_cast<long>(b->owner),
                static_cast<unsigned long long>(names_made++),
                static_cast<unsigned long>(now.tv_nsec) & 0xfffffUL);
}

// A new file in the directory that no name refers to, open with flags
// (O_WRONLY or O_RDWR): its descriptor, -1 with errno, or -2 where the
// kernel or the file system cannot make one.
int open_unnamed(const qef64_builder* b, int flags, mode_t mode) {
  int fd = ::openat(b->dir_fd, ".", O_TMPFILE | flags | O_CLOEXEC, mode);
  if (fd != -1) return fd;
  // EISDIR and ENOENT: a kernel that predates O_TMPFILE.
  if (errno == EOPNOTSUPP || errno == EISDIR || errno == ENOENT ||
      errno == EINVAL)
    return -2;
  return -1;
}

// Creates a new file under a fresh name: O_EXCL makes the creation fail
// rather than open anything that is there, a symbolic link included. Its
// descriptor with name set, or -1 with errno.
int create_named(const qef64_builder* b, const char* kind, int flags,
                 mode_t mode, char* name) {
  for (int attempt = 0; attempt < create_attempts; attempt++) {
    next_name(b, kind, name);
    int fd = ::openat(b->dir_fd, name,
                      flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd != -1 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Opens the database's file: 0, or an errno.
int create_file(qef64_builder* b) {
  b->temp_name = static_cast<char*>(std::malloc(temp_name_size));
  if (b->temp_name == nullptr) return ENOMEM;
  b->fd = open_unnamed(b, O_WRONLY, access_default_mode);
  if (b->fd == -2) {
    b->fd = create_named(b, "tmp", O_WRONLY, access_default_mode, b->temp_name);
    b->named = b->fd != -1;
  }
  return b->fd == -1 ? errno : 0;
}

// The spill engine's opener: the spill file, once the first entries do not
// fit the budget. Named for a moment only where it cannot be unnamed.
std::int64_t open_spill(void* context) {
  auto* b = static_cast<qef64_builder*>(context);
  b->spill_fd = open_unnamed(b, O_RDWR, 0600);
  if (b->spill_fd == -2) {
    char name[temp_name_size];
    b->spill_fd = create_named(b, "spill", O_RDWR, 0600, name);
    if (b->spill_fd != -1 && ::unlinkat(b->dir_fd, name, 0) == -1) return -1;
  }
  return b->spill_fd;
}

// Gives the complete database, so far without a name, a fresh temporary
// name, from which the rename moves it in one step: linkat cannot replace
// the final name. Through /proc when it is mounted; AT_EMPTY_PATH needs a
// privilege that not every process has. 0, or an errno.
int link_temp(qef64_builder* b) {
  char proc_path[64];
  std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", b->fd);
  for (int attempt = 0; attempt < create_attempts; attempt++) {
    next_name(b, "tmp", b->temp_name);
    int r = ::linkat(AT_FDCWD, proc_path, b->dir_fd, b->temp_name,
                     AT_SYMLINK_FOLLOW);
    if (r == -1 && errno == ENOENT) {
      r = ::linkat(b->fd, "", b->dir_fd, b->temp_name, AT_EMPTY_PATH);
    }
    if (r == 0) {
      b->named = true;
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

// The file at the final name, which the build will replace, into *old; its
// st_mode is 0 when there is none. A directory is refused here, before
// anything is created, rather than by the rename at commit: EISDIR, as
// renameat would give. A symbolic link to one is not, since the rename
// replaces the link itself. 0, or EISDIR.
int examine_final(const qef64_builder* b, struct stat* old) {
  if (::fstatat(b->dir_fd, b->final_name, old, 0) == -1) {
    old->st_mode = 0;
    return 0;
  }
  struct stat link;
  if (S_ISDIR(old->st_mode) &&
      ::fstatat(b->dir_fd, b->final_name, &link, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(link.st_mode))
    return EISDIR;
  return 0;
}

// Closes what is still open and, in the process that made it, removes the
// database's temporary name if it has one; then frees everything.
void destroy(qef64_builder* b, bool remove_temp) {
  if (b->fd != -1) (void)::close(b->fd);
  if (b->spill_fd != -1) (void)::close(b->spill_fd);
  if (remove_temp && b->named && b->owner == current_process()) {
    (void)::unlinkat(b->dir_fd, b->temp_name, 0);
  }
  if (b->dir_fd != -1) (void)::close(b->dir_fd);
  writer_release(&b->writer);
  spill_release(&b->spill);
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
  if (spill_finish(&b->spill, &b->writer) == -1) return errno;
  if (::fsync(b->fd) == -1) return errno;
  if (!b->named) {
    int rc = link_temp(b);
    if (rc != 0) return rc;
  }
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
  b->spill_fd = -1;
  b->dir_fd = -1;
  (void)::pthread_once(&fork_watch, watch_forks);
  b->owner = current_process();
  int rc = open_directory(path, &b->dir_fd, &b->final_name);
  struct stat old = {};
  if (rc == 0) rc = examine_final(b, &old);
  if (rc == 0) rc = create_file(b);
  // A rebuild keeps the access of the file it replaces, as qef64make does.
  if (rc == 0 && access_copy(b->fd, &old) == -1) rc = errno;
  if (rc == 0 && writer_start(&b->writer, b->fd) == -1) rc = errno;
  if (rc != 0) {
    destroy(b, true);
    return rc;
  }
  spill_start(&b->spill, spill_default_memory, open_spill, b);
  *out = b;
  return 0;
}

int qef64_builder_set_memory(qef64_builder* b, uint64_t bytes) {
  using namespace qef64;
  int rc = check(b);
  if (rc != 0) return rc;
  if (b->spill.entry_count > 0) return EINVAL;
  constexpr auto most = static_cast<uint64_t>(INT64_MAX);
  b->spill.memory = static_cast<std::int64_t>(bytes > most ? most : bytes);
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
  writer_entry e;
  if (writer_put_record(&b->writer, static_cast<const unsigned char*>(key),
                        static_cast<std::int64_t>(key_len),
                        static_cast<const unsigned char*>(data),
                        static_cast<std::int64_t>(data_len), &e) == -1)
    return fail(b, errno);
  if (spill_add(&b->spill, e) == -1) return fail(b, errno);
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
