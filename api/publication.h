#pragma once

#include <cstddef>

#include "qef64/qef64.h"

namespace qef64 {

// Step 1 of qef64_publication_commit (the shard fsynced, opened, counted
// and checksummed) for shard i alone and ahead of the commit, for a
// builder that knows shard i complete before the others. The commit uses
// the result, a failure included, and does the shards not sealed yet.
// Once per shard; any thread, one per shard at a time, never while the
// commit runs.
void publication_seal_early(qef64_publication* p, std::size_t i);

}  // namespace qef64
