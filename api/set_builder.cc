// A whole sharded set built in one process: one publication, and one
// qef64_builder per shard inside its version directory, each record sent
// to its shard by qef64_shard_hash. The builders share one memory budget,
// split evenly; they commit one after the other, so that only one of them
// at a time needs its commit-time memory. Meanwhile a thread of the
// commit checks and checksums each shard already committed, the work of
// the publication's commit, which then has little left to do.
//
// Records wait in a small stage per shard and reach its builder in runs.
// Added one by one in key order, each record would go to another builder
// than the last: the tails of 256 table buffers and an output buffer per
// shard, thousands of cache lines and pages in all, would be touched at
// random, and a set took twice the time of one builder. A run touches one
// builder's.

#include <pthread.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "api/publication.h"
#include "db/format.h"
#include "db/shard.h"
#include "qef64/qef64.h"

namespace {
// Records routed to one shard and not yet added to its builder: each is
// its key length and data length (8 bytes each, host order), its key and
// its data.
struct shard_stage {
  unsigned char* buf;
  std::size_t used;
};
}  // namespace

struct qef64_set_builder {
  qef64_publication* publication;
  std::size_t shards;
  qef64_builder** builders;  // shards of them; null once committed
  shard_stage* stages;       // shards of them, stage_size bytes each
  std::size_t stage_size;
  bool added;   // a record was added: the budget is fixed
  int failure;  // the first failure; the builder is spent then
};

namespace qef64 {
namespace {

// As one qef64_builder's default: the whole set builds within what one
// database would.
constexpr std::uint64_t set_default_memory = std::uint64_t{64} << 20;
// The stages of all shards together, beside the budget; each shard's is
// within these bounds. 64 KiB holds runs of a thousand small records.
constexpr std::size_t stages_bytes = std::size_t{8} << 20;
constexpr std::size_t stage_least = std::size_t{4} << 10;
constexpr std::size_t stage_most = std::size_t{64} << 10;
constexpr std::size_t staged_head = 16;

void destroy(qef64_set_builder* b) {
  if (b->builders != nullptr) {
    for (std::size_t i = 0; i < b->shards; i++)
      qef64_builder_abort(b->builders[i]);
  }
  if (b->stages != nullptr) {
    for (std::size_t i = 0; i < b->shards; i++)
      std::free(b->stages[i].buf);
  }
  qef64_publication_abort(b->publication);
  std::free(b->builders);
  std::free(b->stages);
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

// The shard builders, each given its share of the default budget, and
// their stages: 0, or an errno.
int open_builders(qef64_set_builder* b) {
  b->builders = static_cast<qef64_builder**>(
      std::calloc(b->shards, sizeof(qef64_builder*)));
  b->stages =
      static_cast<shard_stage*>(std::calloc(b->shards, sizeof(shard_stage)));
  if (b->builders == nullptr || b->stages == nullptr) return ENOMEM;
  std::size_t size = stages_bytes / b->shards;
  b->stage_size = size < stage_least  ? stage_least
                  : size > stage_most ? stage_most
                                      : size;
  for (std::size_t i = 0; i < b->shards; i++) {
    char path[PATH_MAX];
    int rc = qef64_publication_shard_path(b->publication, i, path, sizeof path);
    if (rc == 0) rc = qef64_builder_open(path, &b->builders[i]);
    if (rc != 0) return rc;
    b->stages[i].buf = static_cast<unsigned char*>(std::malloc(b->stage_size));
    if (b->stages[i].buf == nullptr) return ENOMEM;
  }
  return set_memory(b, set_default_memory);
}

int fail(qef64_set_builder* b, int rc) {
  b->failure = rc;
  return rc;
}

// Adds shard s's staged records to its builder, in the order staged: 0,
// or the builder's failure, which the set builder keeps.
int flush(qef64_set_builder* b, std::size_t s) {
  shard_stage& st = b->stages[s];
  std::size_t at = 0;
  while (at < st.used) {
    std::uint64_t key_len;
    std::uint64_t data_len;
    std::memcpy(&key_len, st.buf + at, 8);
    std::memcpy(&data_len, st.buf + at + 8, 8);
    const unsigned char* key = st.buf + at + staged_head;
    auto k = static_cast<std::size_t>(key_len);
    auto d = static_cast<std::size_t>(data_len);
    int rc = qef64_builder_add(b->builders[s], key, k, key + k, d);
    if (rc != 0) return fail(b, rc);
    at += staged_head + k + d;
  }
  st.used = 0;
  return 0;
}

// The thread that seals each shard once its builder has committed it.
struct sealer {
  qef64_publication* publication;
  std::size_t shards;
  pthread_mutex_t lock;
  pthread_cond_t wake;
  std::size_t committed;  // shards [0, committed) may be sealed
  bool stop;              // no further shard will be committed
};

void* seal_committed(void* arg) {
  auto* s = static_cast<sealer*>(arg);
  for (std::size_t k = 0; k < s->shards; k++) {
    (void)::pthread_mutex_lock(&s->lock);
    while (s->committed <= k && !s->stop)
      (void)::pthread_cond_wait(&s->wake, &s->lock);
    bool go = s->committed > k;
    (void)::pthread_mutex_unlock(&s->lock);
    if (!go) break;
    publication_seal_early(s->publication, k);
  }
  return nullptr;
}

void tell(sealer* s, std::size_t committed, bool stop) {
  (void)::pthread_mutex_lock(&s->lock);
  s->committed = committed;
  s->stop = stop;
  (void)::pthread_cond_signal(&s->wake);
  (void)::pthread_mutex_unlock(&s->lock);
}

// Commits every shard's builder, shard i's sealed while shard i + 1 is
// committed: 0, or the first failure.
int commit_shards(qef64_set_builder* b) {
  sealer s{b->publication,           b->shards, PTHREAD_MUTEX_INITIALIZER,
           PTHREAD_COND_INITIALIZER, 0,         false};
  pthread_t thread;
  // Without the thread, the publication's commit seals every shard.
  bool threaded = ::pthread_create(&thread, nullptr, seal_committed, &s) == 0;
  int rc = 0;
  for (std::size_t i = 0; rc == 0 && i < b->shards; i++) {
    rc = flush(b, i);
    if (rc != 0) break;
    // Committing frees the builder, whatever the result.
    rc = qef64_builder_commit(b->builders[i]);
    b->builders[i] = nullptr;
    if (rc == 0 && threaded) tell(&s, i + 1, false);
  }
  if (threaded) {
    tell(&s, s.committed, true);
    (void)::pthread_join(thread, nullptr);
  }
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
  using namespace qef64;
  if (b->failure != 0) return b->failure;
  b->added = true;
  // Refused here, as qef64_builder_add would, rather than when staged.
  constexpr auto limit = static_cast<size_t>(db_max_position);
  if (key_len > limit || data_len > limit) return fail(b, ENOMEM);
  auto s = static_cast<std::size_t>(
      db_shard_hash(static_cast<const unsigned char*>(key),
                    static_cast<std::int64_t>(key_len)) %
      b->shards);
  shard_stage& st = b->stages[s];
  std::size_t need = staged_head + key_len + data_len;  // below 2^62
  if (b->stage_size - st.used < need && flush(b, s) != 0) return b->failure;
  if (need > b->stage_size) {
    int rc = qef64_builder_add(b->builders[s], key, key_len, data, data_len);
    return rc == 0 ? 0 : fail(b, rc);
  }
  std::uint64_t lens[2] = {key_len, data_len};
  std::memcpy(st.buf + st.used, lens, staged_head);
  if (key_len > 0) std::memcpy(st.buf + st.used + staged_head, key, key_len);
  if (data_len > 0) {
    std::memcpy(st.buf + st.used + staged_head + key_len, data, data_len);
  }
  st.used += need;
  return 0;
}

int qef64_set_builder_commit(qef64_set_builder* b) {
  int rc = b->failure;
  if (rc == 0) rc = qef64::commit_shards(b);
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
