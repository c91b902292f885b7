#pragma once

#include <cstddef>
#include <cstdint>

#include "api/checksum.h"

namespace qef64 {

// manifest.json, the description of one version of a sharded set: its
// format, the shard hash, and for each shard in shard order its file, its
// record count, its size and (since checksums were added) its SHA-256.
// qef64(5) documents it. Written and read here alone.

// A shard's file name: a plain name inside the version's directory, at
// most 255 bytes.
constexpr std::size_t manifest_name_size = 256;
// The most shards a set may have: far more than a process can map at once
// (vm.max_map_count is 65530 by default), and a bound on what a hostile
// manifest can make a reader allocate.
constexpr std::size_t manifest_max_shards = std::size_t{1} << 20;

struct manifest_shard {
  char file[manifest_name_size];
  std::uint64_t records;
  std::uint64_t size;
  unsigned char sha256[sha256_size];
  bool has_sha256;  // false in a manifest written before checksums
};

// The file name of shard i of a version, as publications name them.
// REQUIRES: name has manifest_name_size bytes.
void manifest_shard_file(std::size_t i, char* name);

// Reads and checks the manifest of the version directory open on dir_fd:
// 0 with *shards (malloc'ed, *count entries, at least one; the caller
// frees it), or ENOENT when there is none, EPROTO when it is not a manifest
// of this format and version or is inconsistent (a record total that is
// not the sum, a file name with a slash, more than manifest_max_shards
// shards), ENOMEM, or the errno of read(2).
// Counts and sizes are JSON numbers; beyond 2^53 they are refused, since a
// double cannot hold every integer past it.
[[nodiscard]] int manifest_read(int dir_fd, manifest_shard** shards,
                                std::size_t* count);

// The manifest of count shards as JSON text ending in a newline: 0 with
// *text (malloc'ed, *len bytes before its NUL), or ENOMEM.
[[nodiscard]] int manifest_format(const manifest_shard* shards,
                                  std::size_t count, char** text,
                                  std::size_t* len);

}  // namespace qef64
