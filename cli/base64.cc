#include "cli/base64.h"

#include <openssl/evp.h>

namespace qef64::cli {
namespace {

// EVP_EncodeBlock and EVP_DecodeBlock count in int: the text goes through
// them in pieces, each a whole number of 3-byte groups or 4-character
// quads.
constexpr std::size_t quads_per_call = std::size_t{1} << 26;

bool in_alphabet(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '+' || c == '/';
}

}  // namespace

std::int64_t base64_check(std::string_view text) {
  std::size_t n = text.size();
  // At most two "=", and only at the end of the last quad.
  std::size_t pad = 0;
  while (pad < 2 && pad < n && text[n - 1 - pad] == '=')
    pad++;
  for (std::size_t i = 0; i < n - pad; i++) {
    if (!in_alphabet(static_cast<unsigned char>(text[i])))
      return static_cast<std::int64_t>(i);
  }
  if (n % 4 != 0) return static_cast<std::int64_t>(n);
  return -1;
}

void base64_decode(std::string_view text, buffer* out) {
  // EVP_DecodeBlock takes no notice of padding: it decodes "=" as zero
  // bits and counts every quad as 3 bytes, so the padding is taken off
  // after.
  std::size_t n = text.size();
  std::size_t pad = 0;
  while (pad < 2 && pad < n && text[n - 1 - pad] == '=')
    pad++;
  out->len = 0;
  buffer_reserve(out, n / 4 * 3);
  const auto* from = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t done = 0; done < n;) {
    std::size_t piece = n - done;
    if (piece > 4 * quads_per_call) piece = 4 * quads_per_call;
    int got = EVP_DecodeBlock(out->data + out->len, from + done,
                              static_cast<int>(piece));
    // A checked text decodes in full; got < 0 cannot happen.
    if (got > 0) out->len += static_cast<std::size_t>(got);
    done += piece;
  }
  out->len -= pad < out->len ? pad : out->len;
}

void base64_encode(const unsigned char* p, std::size_t n, buffer* out) {
  std::size_t quads = (n + 2) / 3;
  buffer_reserve(out, out->len + 4 * quads + 1);  // EVP adds a NUL
  for (std::size_t done = 0; done < n;) {
    std::size_t piece = n - done;
    if (piece > 3 * quads_per_call) piece = 3 * quads_per_call;
    int put = EVP_EncodeBlock(out->data + out->len, p + done,
                              static_cast<int>(piece));
    out->len += static_cast<std::size_t>(put);
    done += piece;
  }
}

}  // namespace qef64::cli
