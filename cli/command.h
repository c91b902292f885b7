#pragma once

// What the subcommands share: their entry points, and the parsing of their
// options with getopt_long.

#include <getopt.h>

#include <cstdint>
#include <string>

namespace qef64::cli {

// Each takes the arguments after "qef64" (argv[0] is the command's name)
// and returns the process's exit status; failures end it through fail().
int command_build(int argc, char** argv);
int command_get(int argc, char** argv);
int command_dump(int argc, char** argv);
int command_warm(int argc, char** argv);

// getopt_long over the command's arguments, options and operands in any
// order ("--" ends the options): the next option's value (its val), or -1
// at the end. An unknown option, or one without its value, fails naming
// it. "--help" and "-h" write help to standard output and exit 0.
int next_option(int argc, char** argv, const char* shorts, const option* longs,
                const char* help);

// Fails with "COMMAND: what (see qef64 COMMAND --help)".
[[noreturn]] void usage_error(const char* command, const std::string& what);

// A byte count: decimal digits, then optionally K, M, G or T (powers of
// 1024, "iB" allowed after them); fails for anything else.
std::uint64_t parse_bytes(const char* command, const char* option,
                          const char* text);

// Writes text to standard output and ends with status 0.
[[noreturn]] void print_and_exit(const char* text);

}  // namespace qef64::cli
