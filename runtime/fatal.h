#pragma once

#include <cstdint>

namespace qef64 {

// One item of a fatal message's trailer: up to three strings, each may be
// null, then the next item or null.
struct fatal_item {
  const fatal_item* next;
  const char* s1;
  const char* s2;
  const char* s3;
};

// The trailer that ends a message with the text of the current errno;
// fatal_exit fills it (through errno_text) before it writes anything.
extern fatal_item sys_error_item;

// Fills sys_error_item from errno: strerror's text, except fixed texts for
// ENOMEM and ELOOP.
void errno_text();

// Writes s1..s6 (null ones skipped), then the trailer list's strings, then a
// newline, to stream_err; flushes it and ends the process with _exit(status).
// Nothing else is flushed.
[[noreturn]] void fatal_exit(int status, const char* s1, const char* s2,
                             const char* s3, const char* s4, const char* s5,
                             const char* s6, const fatal_item* trailer);

}  // namespace qef64
