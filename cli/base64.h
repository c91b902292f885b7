#pragma once

// Base64 (RFC 4648, the standard alphabet, padded with "=", no line
// breaks), through libcrypto.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cli/buffer.h"

namespace qef64::cli {

// The text base64_check and base64_decode expect, for messages.
constexpr const char* base64_rule =
    "base64 (A-Z, a-z, 0-9, + and /, padded with = to a multiple of 4 "
    "characters)";

// -1 when text is base64 as base64_rule says; otherwise the index of the
// first byte that breaks the rule (text.size() when it is too short).
std::int64_t base64_check(std::string_view text);

// Replaces out's bytes with those text stands for; text must have passed
// base64_check.
void base64_decode(std::string_view text, buffer* out);

// Appends the base64 text of the n bytes at p to out.
void base64_encode(const unsigned char* p, std::size_t n, buffer* out);

}  // namespace qef64::cli
