#include "db/access.h"

#include <unistd.h>

#include <cerrno>

namespace qef64 {

int access_copy(std::int64_t fd, const struct stat* old) {
  // A device node or a directory is no database's model: the mode 666 of
  // /dev/null would make the database writable by everyone.
  if (!S_ISREG(old->st_mode)) return 0;
  int d = static_cast<int>(fd);
  // The mode first: the chown below never clears bits this one sets.
  if (::fchmod(d, old->st_mode & (S_IRWXU | S_IRWXG | S_IRWXO)) == -1)
    return -1;
  if (::fchown(d, old->st_uid, old->st_gid) == 0) return 1;
  // Only root may give a file away (EPERM), but a member of old's group may
  // still give the file that group; an owner the process cannot name at all
  // (EINVAL: outside its user namespace) stays as it is too.
  if (errno == EPERM && ::fchown(d, static_cast<uid_t>(-1), old->st_gid) == 0)
    return 1;
  return errno == EPERM || errno == EINVAL ? 1 : -1;
}

}  // namespace qef64
