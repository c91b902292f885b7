// qef64make f ftmp: builds a database from record text on standard input
// ("+klen,dlen:key->data\n" per record, an empty line at the end), writes it
// to ftmp and renames it to f once it is complete and on disk.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "db/access.h"
#include "db/format.h"
#include "db/writer.h"
#include "runtime/bytes.h"
#include "runtime/fatal.h"
#include "runtime/stream.h"

namespace qef64 {
namespace {

const char* final_name;
const char* temp_name;
db_writer writer;
char directory_name[PATH_MAX];

[[noreturn]] void die_usage() {
  fatal_exit(100, "qefmake: usage: qefmake f ftmp", nullptr, nullptr, nullptr,
             nullptr, nullptr, nullptr);
}
[[noreturn]] void die_create() {
  fatal_exit(111, "qef64make: fatal: ", "unable to create ", temp_name, ": ",
             nullptr, nullptr, &sys_error_item);
}
[[noreturn]] void die_read() {
  fatal_exit(111, "qef64make: fatal: ", "unable to read input: ", nullptr,
             nullptr, nullptr, nullptr, &sys_error_item);
}
[[noreturn]] void die_format() {
  fatal_exit(111, "qef64make: fatal: ", "unable to read input: bad format",
             nullptr, nullptr, nullptr, nullptr, nullptr);
}
[[noreturn]] void die_rename() {
  fatal_exit(111, "qef64make: fatal: ", "unable to rename ", temp_name, " to ",
             final_name, ": ", &sys_error_item);
}

// Makes sure stream_in holds unread bytes; end of input anywhere inside the
// framing is a format error.
void need_input() {
  if (stream_in->pos > 0) return;
  std::int64_t r = stream_feed(stream_in);
  if (r == -1) die_read();
  if (r == 0) die_format();
}

unsigned char next_byte() {
  need_input();
  unsigned char b = *stream_peek(stream_in);
  stream_seek(stream_in, 1);
  return b;
}

// Reads decimal digits up to the byte that ends the number, which must be
// `end`. Both limit tests run at every digit, so a length above
// db_max_position fails at the digit that makes it too large.
std::int64_t read_length(unsigned char end) {
  std::int64_t value = 0;
  for (;;) {
    unsigned char b = next_byte();
    if (b == end) return value;
    if (b < '0' || b > '9') die_format();
    if (value > db_max_position / 10) {
      errno = ENOMEM;
      die_create();
    }
    value = value * 10 + (b - '0');
    if (value > db_max_position) {
      errno = ENOMEM;
      die_create();
    }
  }
}

// Moves n bytes from stream_in into the writer's buffer, hashing them when
// hash is not null. Runs move between the two buffers in one piece; the
// reads and writes are those of moving one byte at a time: input is fed
// before output is flushed, and only when a byte is actually needed.
void copy_record_bytes(std::int64_t n, std::uint64_t* hash) {
  stream* out = &writer.out;
  while (n > 0) {
    need_input();
    if (out->pos == out->size && stream_flush(out) == -1) die_create();
    std::int64_t k = n;
    if (k > stream_in->pos) k = stream_in->pos;
    if (k > out->size - out->pos) k = out->size - out->pos;
    const unsigned char* src = stream_peek(stream_in);
    unsigned char* dst = out->buf + out->pos;
    if (hash != nullptr) {
      std::uint64_t h = *hash;
      for (std::int64_t i = 0; i < k; i++) {
        dst[i] = src[i];
        h = db_hash_step(h, src[i]);
      }
      *hash = h;
    } else {
      copy_forward(dst, k, src);
    }
    out->pos += k;
    stream_seek(stream_in, k);
    n -= k;
  }
}

// Reads records until the empty line that ends the input.
void read_records() {
  for (;;) {
    unsigned char b = next_byte();
    if (b == '\n') return;
    if (b != '+') die_format();
    std::int64_t key_len = read_length(',');
    std::int64_t data_len = read_length(':');
    if (writer_add_begin(&writer, key_len, data_len) == -1) die_create();
    std::uint64_t hash = db_hash_start;
    copy_record_bytes(key_len, &hash);
    if (next_byte() != '-') die_format();
    if (next_byte() != '>') die_format();
    copy_record_bytes(data_len, nullptr);
    if (writer_add_end(&writer, key_len, data_len, hash) == -1) die_create();
    if (next_byte() != '\n') die_format();
  }
}

// stat of the directory that holds the last name of path: "." for a bare
// name, "/" for a name right under the root. 0, or -1 with errno.
int stat_directory(const char* path, struct stat* st) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return ::stat(".", st);
  std::int64_t n = slash == path ? 1 : slash - path;
  if (n >= static_cast<std::int64_t>(sizeof directory_name)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(directory_name, path, static_cast<std::size_t>(n));
  directory_name[n] = '\0';
  return ::stat(directory_name, st);
}

// rename cannot move ftmp to another file system, nor into a directory
// that is not there, and learning that after the whole build wastes the
// build and leaves ftmp behind. The directories of ftmp and f are examined
// before ftmp is even opened, so a refused build has created nothing, and
// an ftmp that was there stays as it was; there is nothing to remove, and
// no need to learn whether the open created the file. ftmp is on the file
// system of its directory unless it is a mount point itself, which rename
// refuses anyway. A directory of ftmp that cannot be examined skips the
// comparison, and the open then fails as before; so does one replaced by a
// mount point between this check and the open. -1 with the errno rename
// would give (ENOENT, ENOTDIR, EXDEV) when it cannot work, else 0.
int check_rename(const char* from, const char* to) {
  // rename("x.tmp", "") finds no such file.
  if (*to == '\0') {
    errno = ENOENT;
    return -1;
  }
  struct stat sa, sb;
  bool from_known = stat_directory(from, &sa) == 0;
  if (stat_directory(to, &sb) == -1) {
    // Other failures (EACCES, EIO) are left to the rename, as before.
    return errno == ENOENT || errno == ENOTDIR ? -1 : 0;
  }
  if (!S_ISDIR(sb.st_mode)) {
    errno = ENOTDIR;
    return -1;
  }
  if (from_known && sa.st_dev != sb.st_dev) {
    errno = EXDEV;
    return -1;
  }
  return 0;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A file that f does not pass its access on to (f is new) gets the mode a
// new file gets, whatever an earlier build or anyone else left at ftmp: a
// leftover of mode 666 must not make the database writable by everyone.
// The umask is read by setting it twice; nothing is created in between.
int give_default_mode(int fd, const struct stat& st) {
  mode_t mask = ::umask(0);
  (void)::umask(mask);
  mode_t mode = access_default_mode & ~mask;
  if ((st.st_mode & 07777) == mode) return 0;  // as the open created it
  return ::fchmod(fd, mode);
}

// An ftmp that another user can write to, or whose inode another name
// shares, would hand the finished database on: to its owner, who could
// rewrite it in place, or to the file under the other name, whose contents
// the truncation destroys. A device node is no database file at all. Each
// is refused as it is, before anything is cut or written: -1 with ENOTSUP
// (not a regular file), EPERM (another owner) or EMLINK (another name).
// old is f, or null when there is none.
int check_own_file(const struct stat& st, const struct stat* old) {
  if (!S_ISREG(st.st_mode)) {
    errno = ENOTSUP;
    return -1;
  }
  // The owner of f may own ftmp: the database goes to that owner anyway,
  // and a failed rebuild as root leaves just such an ftmp behind once f's
  // access was passed on to it.
  if (st.st_uid != ::geteuid() &&
      (old == nullptr || !S_ISREG(old->st_mode) || old->st_uid != st.st_uid)) {
    errno = EPERM;
    return -1;
  }
  if (st.st_nlink > 1) {
    errno = EMLINK;
    return -1;
  }
  return 0;
}

// Two builders writing one ftmp (a job started twice) publish a mix of
// both. Each takes an exclusive lock on ftmp before it changes anything,
// and a second one fails at once (EWOULDBLOCK). The lock is taken on a
// duplicate of the descriptor that stays open until _exit, so closing the
// database descriptor before the rename does not release it. A file system
// that cannot lock at all (ENOLCK, EOPNOTSUPP) builds unlocked, as before.
int lock_exclusive(int fd) {
  int held = ::dup(fd);
  if (held == -1) return -1;
  if (::flock(held, LOCK_EX | LOCK_NB) == -1 && errno == EWOULDBLOCK) return -1;
  return 0;
}

// Opens ftmp for writing, creating it with mode 0644, and gives it the
// access of an existing f, or else the mode of a new file, before anything
// is written; an ftmp that is not a plain file of its own is refused as it
// is (check_own_file). O_NOFOLLOW keeps a symbolic link planted at ftmp
// from redirecting the write. A file that is not empty is truncated only
// after it is known not to be f itself (another spelling, a hard link, or f
// a link to it): truncating it then would destroy the live database. An
// empty f holds no database to lose, which is also the case when f did not
// exist and the open just created it; the build then goes into f directly,
// and the final rename changes nothing. The identity is taken from the open
// descriptor, so swapping the name afterwards cannot slip f in.
int open_create(const char* path) {
  int fd = ::open(path, O_WRONLY | O_NONBLOCK | O_CREAT | O_NOFOLLOW,
                  access_default_mode);
  if (fd == -1) return -1;
  if (lock_exclusive(fd) == -1) return -1;
  struct stat st;
  if (::fstat(fd, &st) == -1) return -1;
  // Building from ftmp itself (qef64make f x.txt < x.txt) would cut the
  // input while it is read, and lose it. Standard input was open before
  // ftmp, so a file the open just created can never be it. When standard
  // input is closed, ftmp takes descriptor 0 and the first read fails.
  struct stat in;
  if (fd != 0 && ::fstat(0, &in) == 0 && same_file(in, st)) {
    errno = EINVAL;
    return -1;
  }
  // A failed stat (f does not exist yet) leaves nothing to protect.
  struct stat old;
  bool have_old = ::stat(final_name, &old) == 0;
  if (st.st_size != 0 && have_old && same_file(st, old)) {
    errno = EINVAL;
    return -1;
  }
  if (check_own_file(st, have_old ? &old : nullptr) == -1) return -1;
  // An empty file, the usual case, has nothing to cut.
  if (st.st_size != 0 && ::ftruncate(fd, 0) == -1) return -1;
  int copied = have_old ? access_copy(fd, &old) : 0;
  if (copied == -1) return -1;
  if (copied == 0 && give_default_mode(fd, st) == -1) return -1;
  return fd;
}

}  // namespace
}  // namespace qef64

int main(int argc, char** argv) {
  using namespace qef64;
  if (argc < 3 || argv[0] == nullptr || argv[1] == nullptr ||
      argv[2] == nullptr)
    die_usage();
  final_name = argv[1];
  temp_name = argv[2];

  if (check_rename(temp_name, final_name) == -1) die_rename();
  int fd = open_create(temp_name);
  if (fd == -1) die_create();
  if (writer_start(&writer, fd) == -1) die_create();
  read_records();
  if (writer_finish(&writer) == -1) die_create();
  if (::fsync(fd) == -1) die_create();
  if (::close(fd) == -1) die_create();
  if (::rename(temp_name, final_name) == -1) die_rename();
  ::_exit(0);
}
