// Checksums of shard files, through libcrypto's digest interface, which
// picks the fastest SHA-256 the processor can run.

#include "api/checksum.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace qef64 {
namespace {

// Hashed at a time, with the next stretch asked for meanwhile: large enough
// for the device to read ahead at full speed, small beside any page cache.
constexpr std::int64_t hash_stretch = std::int64_t{8} << 20;

// Asks the kernel to start reading the pages of [p, p + len) of a mapping.
// A hint: nothing depends on it, and memory that is not a file's mapping
// refuses it harmlessly.
void ask_ahead(const unsigned char* p, std::int64_t len) {
  if (len <= 0) return;
  // madvise(2) takes the address untyped; it does not write through it.
  (void)::madvise(const_cast<unsigned char*>(p), static_cast<size_t>(len),
                  MADV_WILLNEED);
}

// Read at a time by sha256_file: large reads, a buffer that stays in the
// second-level cache.
constexpr std::int64_t read_size = std::int64_t{1} << 20;

// Feeds size bytes of fd to ctx: 0, or an errno.
int digest_file(EVP_MD_CTX* ctx, int fd, std::int64_t size,
                unsigned char* buf) {
  for (std::int64_t pos = 0; pos < size;) {
    ssize_t r = ::pread(
        fd, buf, static_cast<size_t>(std::min(read_size, size - pos)), pos);
    if (r == -1 && errno == EINTR) continue;
    if (r == -1) return errno;
    if (r == 0) return EPROTO;
    if (EVP_DigestUpdate(ctx, buf, static_cast<size_t>(r)) != 1) return ENOMEM;
    pos += r;
  }
  return 0;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int sha256_bytes(const unsigned char* p, std::int64_t len,
                 unsigned char* digest) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) return ENOMEM;
  bool ok = EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1;
  ask_ahead(p, std::min(len, hash_stretch));
  for (std::int64_t pos = 0; ok && pos < len; pos += hash_stretch) {
    std::int64_t n = std::min(hash_stretch, len - pos);
    ask_ahead(p + pos + n, std::min(hash_stretch, len - pos - n));
    ok = EVP_DigestUpdate(ctx, p + pos, static_cast<size_t>(n)) == 1;
  }
  unsigned int size = 0;
  ok = ok && EVP_DigestFinal_ex(ctx, digest, &size) == 1 && size == sha256_size;
  EVP_MD_CTX_free(ctx);
  return ok ? 0 : ENOMEM;
}

int sha256_file(int fd, std::int64_t size, unsigned char* digest) {
  auto* buf = static_cast<unsigned char*>(
      std::malloc(static_cast<std::size_t>(read_size)));
  EVP_MD_CTX* ctx = buf != nullptr ? EVP_MD_CTX_new() : nullptr;
  int rc = ctx == nullptr ? ENOMEM : 0;
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint
  if (rc == 0 && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1)
    rc = ENOMEM;
  if (rc == 0) rc = digest_file(ctx, fd, size, buf);
  unsigned int n = 0;
  if (rc == 0 && (EVP_DigestFinal_ex(ctx, digest, &n) != 1 || n != sha256_size))
    rc = ENOMEM;
  EVP_MD_CTX_free(ctx);
  std::free(buf);
  return rc;
}

void sha256_hex(const unsigned char* digest, char* hex) {
  constexpr char digits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < sha256_size; i++) {
    hex[2 * i] = digits[digest[i] >> 4];
    hex[2 * i + 1] = digits[digest[i] & 15];
  }
  hex[sha256_hex_size] = '\0';
}

bool sha256_parse_hex(const char* hex, std::size_t len, unsigned char* digest) {
  if (len != sha256_hex_size) return false;
  for (std::size_t i = 0; i < sha256_size; i++) {
    int high = hex_value(hex[2 * i]);
    int low = hex_value(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    digest[i] = static_cast<unsigned char>(high * 16 + low);
  }
  return true;
}

}  // namespace qef64
