#pragma once

#include <cstddef>
#include <cstdint>

namespace qef64 {

// SHA-256, as the manifest and SHA256SUMS of a sharded set hold it.
constexpr std::size_t sha256_size = 32;
constexpr std::size_t sha256_hex_size = 2 * sha256_size;

// The SHA-256 of len bytes at p (libcrypto, with the processor's SHA
// instructions where it has them): 0, or ENOMEM when libcrypto fails. For
// a file's mapping, p must be page-aligned: the pages ahead are asked for
// while the ones before are hashed, so a cold file is read at the
// device's speed.
[[nodiscard]] int sha256_bytes(const unsigned char* p, std::int64_t len,
                               unsigned char* digest);

// The SHA-256 of the first size bytes of the file open on fd, read by
// position (faster than through a new mapping, whose every page would
// fault): 0, ENOMEM, EPROTO when the file is shorter, or the errno of
// pread(2).
[[nodiscard]] int sha256_file(int fd, std::int64_t size, unsigned char* digest);

// digest as sha256_hex_size lower-case hexadecimal digits, then a NUL.
void sha256_hex(const unsigned char* digest, char* hex);
// The digest that sha256_hex_size hexadecimal digits at hex spell (either
// case): true, or false when they are not that.
[[nodiscard]] bool sha256_parse_hex(const char* hex, std::size_t len,
                                    unsigned char* digest);

}  // namespace qef64
