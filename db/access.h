#pragma once

#include <sys/stat.h>

#include <cstdint>

namespace qef64 {

// Who may read a database, one rule for qef64make and the library's
// builder: a rebuild neither widens nor narrows it, and a new database is
// readable by everyone and writable by its owner, less the umask.

// The mode a new database is created with, reduced by the umask.
constexpr mode_t access_default_mode = 0644;

// When old, the file a database replaces, is a regular file, gives the file
// open at fd its permission bits (0777 of them: never set-user-ID,
// set-group-ID or sticky), then its owner and group where the process may
// set them, its group alone where it may set only that (as a member of
// it). 1 when old passed its access on, as far as the process may take
// it; 0 when it passes none on (another kind of file); -1 with the errno
// of fchmod(2) or fchown(2).
[[nodiscard]] int access_copy(std::int64_t fd, const struct stat* old);

}  // namespace qef64
