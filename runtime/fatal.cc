#include "runtime/fatal.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/stream.h"

namespace qef64 {

fatal_item sys_error_item = {nullptr, "", "", ""};

void errno_text() {
  int e = errno;
  const char* text;
  if (e == ENOMEM) {
    text = "Cannot allocate memory";
  } else if (e == ELOOP) {
    text = "Too many levels of symbolic links";
  } else {
    text = std::strerror(e);
  }
  sys_error_item = {nullptr, text, "", ""};
}

void fatal_exit(int status, const char* s1, const char* s2, const char* s3,
                const char* s4, const char* s5, const char* s6,
                const fatal_item* trailer) {
  errno_text();
  // Failed writes to standard error have nowhere left to be reported, so
  // every result below is ignored on purpose.
  const char* const strings[] = {s1, s2, s3, s4, s5, s6};
  for (const char* s : strings) {
    if (s != nullptr) (void)stream_puts(stream_err, s);
  }
  for (const fatal_item* item = trailer; item != nullptr; item = item->next) {
    const char* const item_strings[] = {item->s1, item->s2, item->s3};
    for (const char* s : item_strings) {
      if (s != nullptr) (void)stream_puts(stream_err, s);
    }
  }
  (void)stream_puts(stream_err, "\n");
  (void)stream_flush(stream_err);
  ::_exit(status);
}

}  // namespace qef64
