#pragma once

#include <cstddef>
#include <cstdint>

namespace qef64 {

// SHA-256, as the manifest and SHA256SUMS of a sharded set hold it.
constexpr std::size_t sha256_size = 32;
constexpr std::size_t sha256_hex_size = 2 * sha256_size;

// The SHA-256 of the first size bytes of the file open on fd, read by
// position (faster than through a new mapping, whose every page would
// fault): 0, ENOMEM, EPROTO when the file is shorter, or the errno of
// pread(2).
[[nodiscard]] int sha256_file(int fd, std::int64_t size, unsigned char* digest);

// A SHA-256 given its bytes in pieces, as a check of the file reads them.
struct sha256_stream {
  void* ctx;    // libcrypto's digest context
  bool failed;  // libcrypto failed on a piece
};
// 0, or ENOMEM. After a 0, sha256_end must follow.
[[nodiscard]] int sha256_begin(sha256_stream* s);
void sha256_add(sha256_stream* s, const unsigned char* p, std::int64_t len);
// The digest of every piece added, and the context freed: 0, or ENOMEM
// when libcrypto failed (digest is then unset).
[[nodiscard]] int sha256_end(sha256_stream* s, unsigned char* digest);

// digest as sha256_hex_size lower-case hexadecimal digits, then a NUL.
void sha256_hex(const unsigned char* digest, char* hex);
// The digest that sha256_hex_size hexadecimal digits at hex spell (either
// case): true, or false when they are not that.
[[nodiscard]] bool sha256_parse_hex(const char* hex, std::size_t len,
                                    unsigned char* digest);

}  // namespace qef64
