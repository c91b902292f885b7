#include "api/parallel.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace qef64 {
namespace {

// The most helpers a call starts: the callers ask for a few threads each.
constexpr std::size_t most_helpers = 15;

struct index_run {
  std::size_t n;
  bool (*work)(void*, std::size_t);
  void* context;
  std::atomic<std::size_t> next;
  std::atomic<std::size_t> last;  // no i beyond it is taken
};

void* take_indexes(void* arg) {
  auto* run = static_cast<index_run*>(arg);
  for (;;) {
    std::size_t i = run->next.fetch_add(1, std::memory_order_relaxed);
    if (i >= run->n || i > run->last.load()) return nullptr;
    if (run->work(run->context, i)) continue;
    std::size_t last = run->last.load();
    while (i < last && !run->last.compare_exchange_weak(last, i)) {
    }
  }
}

}  // namespace

void for_each_index(std::size_t n, std::size_t threads,
                    bool (*work)(void* context, std::size_t i), void* context) {
  index_run run{n, work, context, {0}, {n}};
  long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  std::size_t helpers = threads > 0 ? threads - 1 : 0;
  if (helpers > most_helpers) helpers = most_helpers;
  if (cpus >= 1 && helpers > static_cast<std::size_t>(cpus - 1))
    helpers = static_cast<std::size_t>(cpus - 1);
  if (helpers + 1 > n) helpers = n > 0 ? n - 1 : 0;
  pthread_t helper[most_helpers];
  std::size_t started = 0;
  while (started < helpers &&
         ::pthread_create(&helper[started], nullptr, take_indexes, &run) == 0)
    started++;
  take_indexes(&run);
  for (std::size_t k = 0; k < started; k++)
    (void)::pthread_join(helper[k], nullptr);
}

}  // namespace qef64
