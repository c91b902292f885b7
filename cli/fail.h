#pragma once

// Failures of the qef64 command: one line on standard error, "qef64: " and
// what failed, then status 111. Whatever a failure leaves half done (a
// build) is undone first by the cleanup that its command registered.

#include <cstdint>
#include <string>
#include <string_view>

namespace qef64::cli {

constexpr int status_ok = 0;
constexpr int status_damaged = 1;    // verify: the database is damaged
constexpr int status_missing = 100;  // get: some key has no record
constexpr int status_failed = 111;

// Runs cleanup before the message of any later failure; nullptr removes it.
// One at a time: the command that owns a half-done result registers it.
void fail_cleanup(void (*cleanup)());

// From now on SIGINT, SIGTERM and SIGHUP run the cleanup before they end
// the process, at the next read of input (a read they interrupt
// included), so that an interrupted build leaves nothing behind.
void fail_on_signals();
// Ends the process by the signal that arrived, if one did, after the
// cleanup; returns otherwise. The input's reads call it.
void fail_if_signalled();

// Writes "qef64: " message "\n" to standard error, runs the cleanup and
// ends the process with status 111. Nothing buffered elsewhere is flushed.
[[noreturn]] void fail(std::string_view message);

// The text of a positive errno value or a result of the C interface, as
// qef64_strerror gives it.
std::string error_text(int rc);

// "NAME, line L, byte offset B: ": where an input error lies. B counts
// bytes from 0 at the start of the input; L counts lines from 1.
std::string input_place(std::string_view name, std::uint64_t line,
                        std::uint64_t offset);

}  // namespace qef64::cli
