// The one way a version of a sharded set becomes current, for every builder
// of sets: the set builder here, Python's build_sharded and its Dask build.
//
// Under the set's lock, a new version directory is filled with shards by
// whoever builds them. Commit then makes the version whole and durable
// before anything points at it, in this order:
//   1. each shard: fsync, opened as a database, counted, checksummed (on
//      a few threads);
//   2. SHA256SUMS and manifest.json, each written under a temporary name,
//      fsynced and renamed;
//   3. the version directory fsynced (its entries), then the set's
//      directory (the version directory's own entry);
//   4. current swapped: a new symbolic link under a temporary name,
//      renamed over it; the set's directory fsynced;
//   5. previous pointed at the old version; older versions removed.
// A crash before the rename of step 4 leaves current on the old version,
// which is whole; after it, on the new one, which was durable before the
// link could name it. Had the set's directory been fsynced only after the
// swap, the new link could have reached the disk before the new directory
// did, and a crash left current naming nothing.

#include "api/publication.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/checksum.h"
#include "api/database.h"
#include "api/manifest.h"
#include "api/parallel.h"
#include "qef64/qef64.h"

namespace {
// "v-20261209T183000Z-5f3a1c" and its NUL, with room to spare.
constexpr std::size_t version_name_size = 40;
}  // namespace

struct qef64_publication {
  std::size_t shards;
  int set_fd;      // the set's directory
  int lock_fd;     // .lock, flock(2)ed while the publication lives
  int version_fd;  // the new version's directory
  pid_t owner;     // only the process that opened it may remove anything
  char version[version_name_size];
  char* dir;  // the version directory's absolute path
  // Step 1's results: shard i's entry and its result in sealed[i] and
  // seal_results[i], which is -1 until it is sealed.
  qef64::manifest_shard* sealed;
  int* seal_results;
};

namespace qef64 {
namespace {

constexpr int name_attempts = 100;
// Deep enough for a version directory and what builders put inside it
// (Dask's pieces); a deeper tree is left alone rather than recursed into.
constexpr int remove_depth = 4;
constexpr mode_t directory_mode = 0755;
// The most threads that check and checksum shards at a commit.
constexpr std::size_t seal_threads = 4;

int close_keeping(int fd, int rc) {
  if (fd != -1) (void)::close(fd);
  return rc;
}

int sync_directory(int dir_fd) {
  return ::fsync(dir_fd) == -1 ? errno : 0;
}

// fsync(2) of the directory holding path's last name.
int sync_parent(const char* path) {
  const char* slash = std::strrchr(path, '/');
  int fd;
  if (slash == nullptr || slash == path) {
    fd = ::open(slash == nullptr ? "." : "/",
                O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } else {
    std::size_t n = static_cast<std::size_t>(slash - path);
    char* parent = static_cast<char*>(std::malloc(n + 1));
    if (parent == nullptr) return ENOMEM;
    std::memcpy(parent, path, n);
    parent[n] = '\0';
    fd = ::open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::free(parent);
  }
  if (fd == -1) return errno;
  return close_keeping(fd, sync_directory(fd));
}

// mkdir -p of path (no trailing slash), each directory made durable in its
// parent. depth bounds the recursion.
int make_directories(char* path, int depth) {
  if (::mkdir(path, directory_mode) == 0) return sync_parent(path);
  if (errno == EEXIST) return 0;
  char* slash = std::strrchr(path, '/');
  if (errno != ENOENT || depth == 0 || slash == nullptr || slash == path)
    return errno;
  *slash = '\0';
  int rc = make_directories(path, depth - 1);
  *slash = '/';
  if (rc != 0) return rc;
  if (::mkdir(path, directory_mode) == 0) return sync_parent(path);
  return errno == EEXIST ? 0 : errno;
}

// Removes name in dir_fd, a directory tree or anything else, without
// following symbolic links. Best effort: what cannot go stays.
void remove_tree(int dir_fd, const char* name, int depth) {
  if (::unlinkat(dir_fd, name, 0) == 0 || errno != EISDIR || depth == 0) return;
  int fd =
      ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd == -1) return;
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    (void)::close(fd);
    return;
  }
  while (const dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
      continue;
    remove_tree(fd, e->d_name, depth - 1);
  }
  (void)::closedir(d);
  (void)::unlinkat(dir_fd, name, AT_REMOVEDIR);
}

// A few random bytes: getrandom(2), or the clock where it is missing.
std::uint32_t random_bits() {
  std::uint32_t r = 0;
  if (::getrandom(&r, sizeof r, GRND_NONBLOCK) != sizeof r) {
    struct timespec now;
    (void)::clock_gettime(CLOCK_MONOTONIC, &now);
    r = static_cast<std::uint32_t>(now.tv_nsec) ^
        static_cast<std::uint32_t>(::getpid());
  }
  return r;
}

// Makes the new version directory, "v-<UTC time>-<6 hex digits>", so
// that versions sort by time of build: 0, or an errno.
int make_version(qef64_publication* p) {
  for (int attempt = 0; attempt < name_attempts; attempt++) {
    struct timespec now;
    struct tm utc;
    char stamp[24];
    (void)::clock_gettime(CLOCK_REALTIME, &now);
    if (::gmtime_r(&now.tv_sec, &utc) == nullptr ||
        ::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc) == 0)
      return EOVERFLOW;
    std::snprintf(p->version, sizeof p->version, "v-%s-%06x", stamp,
                  random_bits() & 0xffffffU);
    if (::mkdirat(p->set_fd, p->version, directory_mode) == 0) return 0;
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

// Writes len bytes of text to name in dir_fd, durably: under a temporary
// name, fsync(2)ed, renamed. 0, or an errno with nothing left behind.
int write_durably(int dir_fd, const char* name, const char* text,
                  std::size_t len) {
  char temp[manifest_name_size];
  std::snprintf(temp, sizeof temp, ".%s.tmp", name);
  int fd =
      ::openat(dir_fd, temp,
               O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd == -1) return errno;
  int rc = 0;
  while (rc == 0 && len > 0) {
    ssize_t w = ::write(fd, text, len);
    if (w == -1 && errno == EINTR) continue;
    if (w == -1) rc = errno;
    if (w > 0) {
      text += w;
      len -= static_cast<std::size_t>(w);
    }
  }
  if (rc == 0 && ::fsync(fd) == -1) rc = errno;
  if (::close(fd) == -1 && rc == 0) rc = errno;
  if (rc == 0 && ::renameat(dir_fd, temp, dir_fd, name) == -1) rc = errno;
  if (rc != 0) (void)::unlinkat(dir_fd, temp, 0);
  return rc;
}

// Step 1 for shard i: 0 with s filled, or an errno (ENOENT for a missing
// shard, EPROTO for one that is not a database).
int seal_shard(const qef64_publication* p, std::size_t i, manifest_shard* s) {
  manifest_shard_file(i, s->file);
  int fd = ::openat(p->version_fd, s->file, O_RDONLY | O_CLOEXEC);
  if (fd == -1) return errno;
  if (::fsync(fd) == -1) return close_keeping(fd, errno);
  qef64_db* db = nullptr;
  int rc = qef64_open_fd(fd, &db);
  if (rc != 0) return close_keeping(fd, rc);
  std::int64_t size = database_mapping(db).map_size;
  s->records = qef64_count(db);
  s->size = static_cast<std::uint64_t>(size);
  s->has_sha256 = true;
  qef64_close(db);
  return close_keeping(fd, sha256_file(fd, size, s->sha256));
}

// SHA256SUMS, as sha256sum(1) writes it and `sha256sum -c` reads it: 0,
// or an errno.
int write_sums(const qef64_publication* p, const manifest_shard* shards) {
  constexpr std::size_t line_size = sha256_hex_size + 2 + manifest_name_size;
  char* text = static_cast<char*>(std::malloc(p->shards * line_size + 1));
  if (text == nullptr) return ENOMEM;
  std::size_t len = 0;
  for (std::size_t i = 0; i < p->shards; i++) {
    char hex[sha256_hex_size + 1];
    sha256_hex(shards[i].sha256, hex);
    len += static_cast<std::size_t>(std::snprintf(
        text + len, line_size + 1, "%s  %s\n", hex, shards[i].file));
  }
  int rc = write_durably(p->version_fd, "SHA256SUMS", text, len);
  std::free(text);
  return rc;
}

bool seal_one(void* context, std::size_t i) {
  auto* p = static_cast<qef64_publication*>(context);
  if (p->seal_results[i] == -1) publication_seal_early(p, i);
  return true;
}

// Step 1 for every shard not sealed yet, on up to seal_threads threads:
// reading and checksumming the shards is most of a commit's work. 0, or
// the failure of the first shard, in shard order, that failed.
int seal_shards(qef64_publication* p) {
  for_each_index(p->shards, seal_threads, seal_one, p);
  int rc = 0;
  for (std::size_t i = 0; rc == 0 && i < p->shards; i++)
    rc = p->seal_results[i];
  return rc;
}

// Steps 1 to 3: the version whole and durable, nothing yet pointing at it.
int seal_version(qef64_publication* p) {
  const manifest_shard* shards = p->sealed;
  int rc = seal_shards(p);
  if (rc == 0) rc = write_sums(p, shards);
  char* text = nullptr;
  std::size_t len = 0;
  if (rc == 0) rc = manifest_format(shards, p->shards, &text, &len);
  if (rc == 0) rc = write_durably(p->version_fd, "manifest.json", text, len);
  std::free(text);
  if (rc == 0) rc = sync_directory(p->version_fd);
  if (rc == 0) rc = sync_directory(p->set_fd);
  return rc;
}

// Points the link name in the set's directory at target in one rename:
// 0, or an errno with the old link in place.
int swap_link(const qef64_publication* p, const char* name,
              const char* target) {
  char temp[manifest_name_size];
  for (int attempt = 0; attempt < name_attempts; attempt++) {
    std::snprintf(temp, sizeof temp, ".%s.tmp-%08x", name, random_bits());
    if (::symlinkat(target, p->set_fd, temp) == 0) break;
    if (errno != EEXIST || attempt == name_attempts - 1) return errno;
  }
  if (::renameat(p->set_fd, temp, p->set_fd, name) == 0) return 0;
  int rc = errno;
  (void)::unlinkat(p->set_fd, temp, 0);
  return rc;
}

// Step 5, after the version is published: every version but the new one
// and old goes, with the temporary links of publications that crashed.
void remove_old_versions(const qef64_publication* p, const char* old) {
  int fd = ::dup(p->set_fd);
  DIR* d = fd == -1 ? nullptr : ::fdopendir(fd);
  if (d == nullptr) {
    if (fd != -1) (void)::close(fd);
    return;
  }
  const char* old_name = std::strrchr(old, '/');
  old_name = old_name == nullptr ? old : old_name + 1;
  while (const dirent* e = ::readdir(d)) {
    const char* n = e->d_name;
    bool version = std::strncmp(n, "v-", 2) == 0 &&
                   std::strcmp(n, p->version) != 0 &&
                   std::strcmp(n, old_name) != 0;
    bool stale_link = std::strncmp(n, ".current.tmp-", 13) == 0 ||
                      std::strncmp(n, ".previous.tmp-", 14) == 0;
    if (version || stale_link) remove_tree(p->set_fd, n, remove_depth);
  }
  (void)::closedir(d);
}

// Steps 4 and 5: 0, or an errno; *published says whether current names
// the new version (then only the durability of the swap can have failed).
int publish(const qef64_publication* p, bool* published) {
  char old[PATH_MAX];
  ssize_t n = ::readlinkat(p->set_fd, "current", old, sizeof old - 1);
  old[n > 0 ? n : 0] = '\0';
  int rc = swap_link(p, "current", p->version);
  if (rc != 0) return rc;
  *published = true;
  rc = sync_directory(p->set_fd);
  if (rc != 0) return rc;
  // previous is for going back by hand; a failure to move it leaves the
  // one before, and does not undo the publication.
  if (old[0] != '\0' && std::strcmp(old, p->version) != 0 &&
      swap_link(p, "previous", old) == 0)
    (void)sync_directory(p->set_fd);
  remove_old_versions(p, old);
  return 0;
}

// Closes everything and frees p; removes the version directory first
// when asked, in the process that opened the publication only.
void release(qef64_publication* p, bool remove_version) {
  if (remove_version && p->owner == ::getpid()) {
    remove_tree(p->set_fd, p->version, remove_depth);
  }
  (void)close_keeping(p->version_fd, 0);
  (void)close_keeping(p->lock_fd, 0);  // the last descriptor frees the lock
  (void)close_keeping(p->set_fd, 0);
  std::free(p->dir);
  std::free(p->sealed);
  std::free(p->seal_results);
  std::free(p);
}

// Opens, creating it when missing, the set's directory, and takes its
// lock: 0, or an errno.
int open_set(qef64_publication* p, const char* path) {
  std::size_t len = std::strlen(path);
  while (len > 1 && path[len - 1] == '/')
    len--;
  if (len == 0) return ENOENT;
  char* dir = static_cast<char*>(std::malloc(len + 1));
  if (dir == nullptr) return ENOMEM;
  std::memcpy(dir, path, len);
  dir[len] = '\0';
  int rc = make_directories(dir, 64);
  if (rc == 0) {
    p->set_fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (p->set_fd == -1) rc = errno;
  }
  char* absolute = rc == 0 ? ::realpath(dir, nullptr) : nullptr;
  if (rc == 0 && absolute == nullptr) rc = errno;
  std::free(dir);
  if (rc != 0) return rc;
  std::size_t abs_len = std::strlen(absolute);
  p->dir = static_cast<char*>(std::malloc(abs_len + 1 + version_name_size));
  if (p->dir == nullptr) {
    std::free(absolute);
    return ENOMEM;
  }
  std::memcpy(p->dir, absolute, abs_len + 1);
  std::free(absolute);
  p->lock_fd = ::openat(p->set_fd, ".lock",
                        O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (p->lock_fd == -1) return errno;
  while (::flock(p->lock_fd, LOCK_EX | LOCK_NB) == -1) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace

void publication_seal_early(qef64_publication* p, std::size_t i) {
  p->seal_results[i] = seal_shard(p, i, &p->sealed[i]);
}

}  // namespace qef64

extern "C" {

int qef64_publication_open(const char* path, size_t shards,
                           qef64_publication** out) {
  using namespace qef64;
  *out = nullptr;
  if (shards == 0 || shards > manifest_max_shards) return EINVAL;
  auto* p = static_cast<qef64_publication*>(
      std::calloc(1, sizeof(qef64_publication)));
  if (p == nullptr) return ENOMEM;
  p->shards = shards;
  p->set_fd = p->lock_fd = p->version_fd = -1;
  p->owner = ::getpid();
  p->sealed =
      static_cast<manifest_shard*>(std::calloc(shards, sizeof(manifest_shard)));
  p->seal_results = static_cast<int*>(std::malloc(shards * sizeof(int)));
  if (p->sealed == nullptr || p->seal_results == nullptr) {
    release(p, false);
    return ENOMEM;
  }
  for (std::size_t i = 0; i < shards; i++)
    p->seal_results[i] = -1;
  int rc = open_set(p, path);
  bool made = false;
  if (rc == 0) {
    rc = make_version(p);
    made = rc == 0;
  }
  if (rc == 0) {
    p->version_fd = ::openat(p->set_fd, p->version,
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (p->version_fd == -1) rc = errno;
  }
  if (rc != 0) {
    release(p, made);
    return rc;
  }
  std::strcat(p->dir, "/");
  std::strcat(p->dir, p->version);
  *out = p;
  return 0;
}

const char* qef64_publication_version(const qef64_publication* p) {
  return p->version;
}

const char* qef64_publication_dir(const qef64_publication* p) {
  return p->dir;
}

int qef64_publication_shard_path(const qef64_publication* p, size_t i,
                                 char* buf, size_t len) {
  if (i >= p->shards) return EINVAL;
  char name[qef64::manifest_name_size];
  qef64::manifest_shard_file(i, name);
  int n = std::snprintf(buf, len, "%s/%s", p->dir, name);
  return n < 0 || static_cast<size_t>(n) >= len ? ENAMETOOLONG : 0;
}

int qef64_publication_commit(qef64_publication* p) {
  using namespace qef64;
  if (p->owner != ::getpid()) {
    release(p, false);
    return EBUSY;
  }
  int rc = seal_version(p);
  bool published = false;
  if (rc == 0) rc = publish(p, &published);
  release(p, !published);
  return rc;
}

void qef64_publication_abort(qef64_publication* p) {
  if (p != nullptr) qef64::release(p, true);
}

}  // extern "C"
