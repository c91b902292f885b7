// manifest.json through cJSON: parsed once here for every reader of a set,
// and written here for every publication.

#include "api/manifest.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qef64 {
namespace {

constexpr const char* set_format = "qef64-sharded";
constexpr int set_format_version = 1;
constexpr const char* set_shard_hash = "fnv1a64-splitmix64";

// A manifest lists about 150 bytes per shard: this allows a million and
// more, and keeps a hostile file from taking all memory.
constexpr std::int64_t manifest_max_size = std::int64_t{1} << 28;
// The largest integer below which a double holds every integer.
constexpr double exact_integer_limit = 9007199254740992.0;

// The whole of dir_fd's manifest.json, NUL-terminated: 0, or an errno.
int read_text(int dir_fd, char** text, std::size_t* len) {
  int fd = ::openat(dir_fd, "manifest.json", O_RDONLY | O_CLOEXEC);
  if (fd == -1) return errno;
  struct stat st;
  int rc = 0;
  if (::fstat(fd, &st) == -1) {
    rc = errno;
  } else if (!S_ISREG(st.st_mode) || st.st_size > manifest_max_size) {
    rc = EPROTO;
  }
  auto size = static_cast<std::size_t>(rc == 0 ? st.st_size : 0);
  char* buf = rc == 0 ? static_cast<char*>(std::malloc(size + 1)) : nullptr;
  if (rc == 0 && buf == nullptr) rc = ENOMEM;
  std::size_t got = 0;
  while (rc == 0 && got < size) {
    ssize_t r = ::read(fd, buf + got, size - got);
    if (r == -1 && errno == EINTR) continue;
    if (r == -1) rc = errno;
    if (r == 0) rc = EPROTO;  // shorter than fstat said: being rewritten
    if (r > 0) got += static_cast<std::size_t>(r);
  }
  (void)::close(fd);  // read-only: nothing of it is lost
  if (rc != 0) {
    std::free(buf);
    return rc;
  }
  buf[size] = '\0';
  *text = buf;
  *len = size;
  return 0;
}

bool is_string(const cJSON* object, const char* name, const char* value) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
  return cJSON_IsString(item) && std::strcmp(item->valuestring, value) == 0;
}

// A count or size: a non-negative integer that a double holds exactly.
bool get_count(const cJSON* object, const char* name, std::uint64_t* out) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
  if (!cJSON_IsNumber(item)) return false;
  double d = item->valuedouble;
  if (!(d >= 0 && d <= exact_integer_limit)) return false;
  auto v = static_cast<std::uint64_t>(d);
  if (static_cast<double>(v) != d) return false;
  *out = v;
  return true;
}

// A file name that stays inside the version's directory.
bool plain_name(const char* name) {
  std::size_t len = std::strlen(name);
  return len > 0 && len < manifest_name_size &&
         std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
         std::strcmp(name, "..") != 0;
}

// One entry of "shards": true, or false when it is not a sound entry.
bool parse_shard(const cJSON* entry, manifest_shard* s) {
  if (!cJSON_IsObject(entry)) return false;
  const cJSON* file = cJSON_GetObjectItemCaseSensitive(entry, "file");
  if (!cJSON_IsString(file) || !plain_name(file->valuestring)) return false;
  std::strcpy(s->file, file->valuestring);
  if (!get_count(entry, "records", &s->records) ||
      !get_count(entry, "size", &s->size))
    return false;
  const cJSON* sha = cJSON_GetObjectItemCaseSensitive(entry, "sha256");
  if (sha == nullptr) return true;
  s->has_sha256 = true;
  return cJSON_IsString(sha) &&
         sha256_parse_hex(sha->valuestring, std::strlen(sha->valuestring),
                          s->sha256);
}

// The parsed manifest checked and turned into shards: 0, or an errno.
int parse(const cJSON* root, manifest_shard** out, std::size_t* out_count) {
  const cJSON* version = cJSON_GetObjectItemCaseSensitive(root, "version");
  if (!cJSON_IsObject(root) || !is_string(root, "format", set_format) ||
      !cJSON_IsNumber(version) || version->valuedouble != set_format_version ||
      !is_string(root, "shard_hash", set_shard_hash))
    return EPROTO;
  std::uint64_t count = 0;
  std::uint64_t records = 0;
  const cJSON* list = cJSON_GetObjectItemCaseSensitive(root, "shards");
  if (!get_count(root, "shard_count", &count) ||
      !get_count(root, "records", &records) || count < 1 ||
      count > manifest_max_shards || !cJSON_IsArray(list) ||
      static_cast<std::uint64_t>(cJSON_GetArraySize(list)) != count)
    return EPROTO;
  auto* shards = static_cast<manifest_shard*>(
      std::calloc(static_cast<std::size_t>(count), sizeof(manifest_shard)));
  if (shards == nullptr) return ENOMEM;
  std::uint64_t sum = 0;
  std::size_t i = 0;
  const cJSON* entry = nullptr;
  cJSON_ArrayForEach(entry, list) {
    // Each count is below 2^53, so the sum of a million cannot wrap.
    if (!parse_shard(entry, &shards[i])) break;
    sum += shards[i].records;
    i++;
  }
  if (i != count || sum != records) {
    std::free(shards);
    return EPROTO;
  }
  *out = shards;
  *out_count = static_cast<std::size_t>(count);
  return 0;
}

// An integer as JSON text: cJSON's numbers are doubles, which would print
// sizes past 2^53 rounded.
bool add_integer(cJSON* object, const char* name, std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%llu",
                static_cast<unsigned long long>(value));
  return cJSON_AddRawToObject(object, name, text) != nullptr;
}

bool add_shard(cJSON* list, const manifest_shard& s) {
  cJSON* entry = cJSON_CreateObject();
  if (entry == nullptr) return false;
  if (!cJSON_AddItemToArray(list, entry)) {
    cJSON_Delete(entry);
    return false;
  }
  char hex[sha256_hex_size + 1];
  sha256_hex(s.sha256, hex);
  return cJSON_AddStringToObject(entry, "file", s.file) != nullptr &&
         add_integer(entry, "records", s.records) &&
         add_integer(entry, "size", s.size) &&
         (!s.has_sha256 ||
          cJSON_AddStringToObject(entry, "sha256", hex) != nullptr);
}

// The manifest as a cJSON tree, in the order of its documentation; null
// when memory runs out.
cJSON* build(const manifest_shard* shards, std::size_t count) {
  cJSON* root = cJSON_CreateObject();
  if (root == nullptr) return nullptr;
  std::uint64_t records = 0;
  for (std::size_t i = 0; i < count; i++)
    records += shards[i].records;
  bool ok = cJSON_AddStringToObject(root, "format", set_format) != nullptr &&
            add_integer(root, "version", set_format_version) &&
            cJSON_AddStringToObject(root, "shard_hash", set_shard_hash) &&
            add_integer(root, "shard_count", count) &&
            add_integer(root, "records", records);
  cJSON* list = ok ? cJSON_AddArrayToObject(root, "shards") : nullptr;
  ok = list != nullptr;
  for (std::size_t i = 0; ok && i < count; i++)
    ok = add_shard(list, shards[i]);
  if (!ok) {
    cJSON_Delete(root);
    return nullptr;
  }
  return root;
}

}  // namespace

void manifest_shard_file(std::size_t i, char* name) {
  std::snprintf(name, manifest_name_size, "shard-%05zu.qef64", i);
}

int manifest_read(int dir_fd, manifest_shard** shards, std::size_t* count) {
  char* text = nullptr;
  std::size_t len = 0;
  int rc = read_text(dir_fd, &text, &len);
  if (rc != 0) return rc;
  cJSON* root = cJSON_ParseWithLength(text, len);
  std::free(text);
  // cJSON tells a failed allocation from bad text only by the position of
  // the error; a manifest is small, so a failure is taken for bad text.
  if (root == nullptr) return EPROTO;
  rc = parse(root, shards, count);
  cJSON_Delete(root);
  return rc;
}

int manifest_format(const manifest_shard* shards, std::size_t count,
                    char** text, std::size_t* len) {
  cJSON* root = build(shards, count);
  char* printed = root != nullptr ? cJSON_Print(root) : nullptr;
  cJSON_Delete(root);
  if (printed == nullptr) return ENOMEM;
  std::size_t n = std::strlen(printed);
  char* out = static_cast<char*>(std::malloc(n + 2));
  if (out != nullptr) {
    std::memcpy(out, printed, n);
    out[n] = '\n';
    out[n + 1] = '\0';
  }
  cJSON_free(printed);
  if (out == nullptr) return ENOMEM;
  *text = out;
  *len = n + 1;
  return 0;
}

}  // namespace qef64
