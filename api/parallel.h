#pragma once

#include <cstddef>

namespace qef64 {

// Calls work(context, i) for every i in [0, n) on up to `threads` threads
// at a time: the caller's, and helpers while there are processors online
// and items for them. Each thread takes the next i not yet taken; a thread
// that cannot start leaves its share to the others. A work that returns
// false stops the taking of every i after its own, while those before it
// still run, so that a caller after the first failure in index order does
// no more than a walk in that order would. Returns when every call taken
// has returned.
void for_each_index(std::size_t n, std::size_t threads,
                    bool (*work)(void* context, std::size_t i), void* context);

}  // namespace qef64
