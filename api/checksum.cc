// Checksums of shard files, through libcrypto's digest interface, which
// picks the fastest SHA-256 the processor can run.

#include "api/checksum.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace qef64 {
namespace {

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

int sha256_begin(sha256_stream* s) {
  auto* ctx = EVP_MD_CTX_new();
  *s = {ctx, false};
  if (ctx != nullptr && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1)
    return 0;
  EVP_MD_CTX_free(ctx);
  s->ctx = nullptr;
  return ENOMEM;
}

void sha256_add(sha256_stream* s, const unsigned char* p, std::int64_t len) {
  auto* ctx = static_cast<EVP_MD_CTX*>(s->ctx);
  if (!s->failed && EVP_DigestUpdate(ctx, p, static_cast<size_t>(len)) != 1)
    s->failed = true;
}

int sha256_end(sha256_stream* s, unsigned char* digest) {
  auto* ctx = static_cast<EVP_MD_CTX*>(s->ctx);
  unsigned int n = 0;
  bool ok = !s->failed && EVP_DigestFinal_ex(ctx, digest, &n) == 1 &&
            n == sha256_size;
  EVP_MD_CTX_free(ctx);
  s->ctx = nullptr;
  return ok ? 0 : ENOMEM;
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
