// A whole sharded set built in one process: one publication, and one
// qef64_builder per shard inside its version directory, each record sent
// to its shard by qef64_shard_hash. The builders share one memory budget,
// split evenly; they commit one after the other, so that only one of them
// at a time needs its commit-time memory.

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "qef64/qef64.h"

struct qef64_set_builder {
  qef64_publication* publication;
  std::size_t shards;
  qef64_builder** builders;  // shards of them; null once committed
  bool added;                // a record was added: the budget is fixed
  int failure;               // the first failure; the builder is spent then
};

namespace qef64 {
namespace {

// As one qef64_builder's default: the whole set builds within what one
// database would.
constexpr std::uint64_t set_default_memory = std::uint64_t{64} << 20;

void destroy(qef64_set_builder* b) {
  if (b->builders != nullptr) {
    for (std::size_t i = 0; i < b->shards; i++)
      qef64_builder_abort(b->builders[i]);
  }
  qef64_publication_abort(b->publication);
  std::free(b->builders);
  std::free(b);
}

int set_memory(qef64_set_builder* b, std::uint64_t bytes) {
  std::uint64_t each = bytes / b->shards;
  for (std::size_t i = 0; i < b->shards; i++) {
    int rc = qef64_builder_set_memory(b->builders[i], each);
    if (rc != 0) return rc;
  }
  return 0;
}

// The shard builders, each given its share of the default budget: 0, or
// an errno.
int open_builders(qef64_set_builder* b) {
  b->builders = static_cast<qef64_builder**>(
      std::calloc(b->shards, sizeof(qef64_builder*)));
  if (b->builders == nullptr) return ENOMEM;
  for (std::size_t i = 0; i < b->shards; i++) {
    char path[PATH_MAX];
    int rc = qef64_publication_shard_path(b->publication, i, path, sizeof path);
    if (rc == 0) rc = qef64_builder_open(path, &b->builders[i]);
    if (rc != 0) return rc;
  }
  return set_memory(b, set_default_memory);
}

int fail(qef64_set_builder* b, int rc) {
  b->failure = rc;
  return rc;
}

}  // namespace
}  // namespace qef64

extern "C" {

int qef64_set_builder_open(const char* path, size_t shards,
                           qef64_set_builder** out) {
  using namespace qef64;
  *out = nullptr;
  auto* b = static_cast<qef64_set_builder*>(
      std::calloc(1, sizeof(qef64_set_builder)));
  if (b == nullptr) return ENOMEM;
  b->shards = shards;
  int rc = qef64_publication_open(path, shards, &b->publication);
  if (rc == 0) rc = open_builders(b);
  if (rc != 0) {
    destroy(b);
    return rc;
  }
  *out = b;
  return 0;
}

int qef64_set_builder_set_memory(qef64_set_builder* b, uint64_t bytes) {
  if (b->failure != 0) return b->failure;
  if (b->added) return EINVAL;
  return qef64::set_memory(b, bytes);
}

int qef64_set_builder_add(qef64_set_builder* b, const void* key, size_t key_len,
                          const void* data, size_t data_len) {
  if (b->failure != 0) return b->failure;
  b->added = true;
  std::size_t s =
      static_cast<std::size_t>(qef64_shard_hash(key, key_len) % b->shards);
  int rc = qef64_builder_add(b->builders[s], key, key_len, data, data_len);
  return rc == 0 ? 0 : qef64::fail(b, rc);
}

int qef64_set_builder_commit(qef64_set_builder* b) {
  int rc = b->failure;
  for (std::size_t i = 0; rc == 0 && i < b->shards; i++) {
    // Committing frees the builder, whatever the result.
    rc = qef64_builder_commit(b->builders[i]);
    b->builders[i] = nullptr;
  }
  if (rc == 0) {
    rc = qef64_publication_commit(b->publication);
    b->publication = nullptr;
  }
  qef64::destroy(b);
  return rc;
}

void qef64_set_builder_abort(qef64_set_builder* b) {
  if (b != nullptr) qef64::destroy(b);
}

}  // extern "C"
