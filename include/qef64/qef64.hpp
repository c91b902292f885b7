// qef64: read-only, hash-indexed key-value database files, for C++17 and
// later. A thin layer over the C interface in <qef64/qef64.h>: move-only
// owners of its handles, std::string_view in and out, and failures as
// qef64::error, a std::system_error with std::generic_category() and the
// errno value (EPROTO for a file that is not a database, or a damaged one)
// whose what() carries qef64_strerror's text.
//
//   qef64::database db("x.db");
//   std::optional<std::string_view> v = db.get("key");  // zero-copy
//   for (std::string_view d : db.get_all("key")) ...    // in the order added
//   for (const auto& [key, data] : db) ...              // every record
//
//   qef64::builder b("x.db");  // a file beside x.db, without a name yet
//   b.add("key", "data");
//   b.commit();                // durable, then renamed onto x.db
//
// Views returned by a database point into its mapping and stay valid while
// that database lives (a moved-from database hands them on). One database
// may serve any number of threads at once; a builder serves one at a time.
// A moved-from object may be destroyed, assigned to or (a builder) aborted;
// every other call on it throws std::system_error with EBADF, as does a
// call on a builder already committed or aborted.
#ifndef QEF64_QEF64_HPP
#define QEF64_QEF64_HPP

#include <qef64/qef64.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>
#if __cplusplus >= 202002L
#include <span>
#endif

namespace qef64 {

// A failure of the library. code() is the errno value in
// std::generic_category(), so that e.code() == std::errc::protocol_error
// holds as for any std::system_error; what() is "WHAT: TEXT" with
// qef64_strerror's text ("x.db: not a database, or a damaged one" where
// the generic message would say "Protocol error").
class error : public std::system_error {
 public:
  error(int rc, const char* what)
      : std::system_error(rc, std::generic_category(), what),
        text_(std::string(what) + ": " + qef64_strerror(rc)) {}
  const char* what() const noexcept override { return text_.what(); }

 private:
  std::runtime_error text_;  // copied without allocating, as exceptions are
};

// Throws the failure rc of the call named by what.
[[noreturn]] inline void throw_error(int rc, const char* what) {
  throw error(rc, what);
}

class database {
 public:
  // Opens and maps the file; throws std::system_error on failure.
  explicit database(const char* path) {
    int rc = qef64_open(path, &db_);
    if (rc != 0) throw_error(rc, path);
  }
  explicit database(const std::string& path) : database(path.c_str()) {}
  // Opens with qef64_open_ex's flags (QEF64_WARM_TABLES, QEF64_WARM_ALL,
  // QEF64_WARM_BACKGROUND, QEF64_LOCK_TABLES).
  database(const char* path, unsigned flags) {
    int rc = qef64_open_ex(path, flags, &db_);
    if (rc != 0) throw_error(rc, path);
  }
  database(const std::string& path, unsigned flags)
      : database(path.c_str(), flags) {}
  // A database on a descriptor open for reading, which the caller keeps.
  static database from_fd(int fd) {
    qef64_db* db = nullptr;
    int rc = qef64_open_fd(fd, &db);
    if (rc != 0) throw_error(rc, "qef64_open_fd");
    return database(db);
  }

  database(database&& other) noexcept
      : db_(std::exchange(other.db_, nullptr)) {}
  database& operator=(database&& other) noexcept {
    if (this != &other) {
      qef64_close(db_);
      db_ = std::exchange(other.db_, nullptr);
    }
    return *this;
  }
  database(const database&) = delete;
  database& operator=(const database&) = delete;
  ~database() { qef64_close(db_); }

  // The data of the key's first record, or nullopt when it has none.
  std::optional<std::string_view> get(std::string_view key) const {
    const void* data;
    std::size_t len;
    int rc = qef64_get(live(), key.data(), key.size(), &data, &len);
    if (rc == QEF64_NOTFOUND) return std::nullopt;
    if (rc != 0) throw_error(rc, "qef64_get");
    return view(data, len);
  }

  // The data of every record of the key, in the order added.
  std::vector<std::string_view> get_all(std::string_view key) const {
    std::vector<std::string_view> all;
    qef64_cursor cur = QEF64_CURSOR_INIT;
    const qef64_db* db = live();
    for (;;) {
      const void* data;
      std::size_t len;
      int rc = qef64_find_next(db, &cur, key.data(), key.size(), &data, &len);
      if (rc == QEF64_NOTFOUND) return all;
      if (rc != 0) throw_error(rc, "qef64_find_next");
      all.push_back(view(data, len));
    }
  }

  // The first record of each key, in one batched call.
  std::vector<std::optional<std::string_view>> get_many(
      const std::string_view* keys, std::size_t n) const {
    const qef64_db* db = live();
    std::vector<const void*> key_ptrs(n);
    std::vector<std::size_t> key_lens(n);
    for (std::size_t i = 0; i < n; i++) {
      key_ptrs[i] = keys[i].data();
      key_lens[i] = keys[i].size();
    }
    std::vector<const void*> data(n);
    std::vector<std::size_t> lens(n);
    int rc = qef64_get_many(db, n, key_ptrs.data(), key_lens.data(),
                            data.data(), lens.data());
    if (rc != 0) throw_error(rc, "qef64_get_many");
    std::vector<std::optional<std::string_view>> out(n);
    for (std::size_t i = 0; i < n; i++) {
      if (data[i] != nullptr) out[i] = view(data[i], lens[i]);
    }
    return out;
  }
  std::vector<std::optional<std::string_view>> get_many(
      const std::vector<std::string_view>& keys) const {
    return get_many(keys.data(), keys.size());
  }
#if __cplusplus >= 202002L
  std::vector<std::optional<std::string_view>> get_many(
      std::span<const std::string_view> keys) const {
    return get_many(keys.data(), keys.size());
  }
#endif

  // Every record as (key, data), in file order; a key added twice comes
  // twice. A damaged file throws from operator++.
  class iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = std::pair<std::string_view, std::string_view>;
    using difference_type = std::ptrdiff_t;
    using pointer = const value_type*;
    using reference = const value_type&;

    iterator() = default;
    reference operator*() const { return record_; }
    pointer operator->() const { return &record_; }
    iterator& operator++() {
      const void *key, *data;
      std::size_t key_len, data_len;
      int rc = qef64_iter_next(db_, &it_, &key, &key_len, &data, &data_len);
      if (rc == QEF64_NOTFOUND) {
        db_ = nullptr;
        return *this;
      }
      if (rc != 0) throw_error(rc, "qef64_iter_next");
      record_ = {view(key, key_len), view(data, data_len)};
      return *this;
    }
    void operator++(int) { ++*this; }
    // Iterators are equal when both are at the end; a walk is one pass.
    friend bool operator==(const iterator& a, const iterator& b) {
      return a.db_ == nullptr && b.db_ == nullptr;
    }
    friend bool operator!=(const iterator& a, const iterator& b) {
      return !(a == b);
    }

   private:
    friend class database;
    explicit iterator(const qef64_db* db) : db_(db) { ++*this; }
    const qef64_db* db_ = nullptr;
    qef64_iter it_ = QEF64_ITER_INIT;
    value_type record_;
  };
  iterator begin() const {
    return iterator(live());
  }
  iterator end() const {
    (void)live();
    return iterator();
  }

  // The number of records.
  std::uint64_t size() const {
    return qef64_count(live());
  }
  // True when the path now names another file or none, or the file was
  // changed in place.
  bool replaced() const {
    return qef64_replaced(live()) != 0;
  }
  // How much of the file is in memory now, in bytes (qef64_resident).
  struct residency {
    std::uint64_t tables;   // the header and the hash tables
    std::uint64_t records;  // the records
  };
  residency resident() const {
    residency r{};
    int rc = qef64_resident(db_, &r.tables, &r.records);
    if (rc != 0) throw_error(rc, "qef64_resident");
    return r;
  }
  // The deep check of every record and slot (qef64_verify_problem): the
  // first problem, or nullopt when the file is sound. Throws on any other
  // failure (ENOMEM, a failed read).
  std::optional<qef64_problem> verify() const {
    qef64_problem p;
    int rc = qef64_verify_problem(db_, &p);
    if (rc == EPROTO) return p;
    if (rc != 0) throw_error(rc, "qef64_verify");
    return std::nullopt;
  }
  // Sizes and the longest probe (qef64_get_info).
  qef64_info info() const {
    qef64_info i;
    int rc = qef64_get_info(db_, &i);
    if (rc != 0) throw_error(rc, "qef64_get_info");
    return i;
  }
  // The C handle, for calls this class does not wrap.
  const qef64_db* handle() const {
    return live();
  }

 private:
  explicit database(qef64_db* db) : db_(db) {}
  // The handle, which a moved-from database no longer has.
  const qef64_db* live() const {
    if (db_ == nullptr) throw_error(EBADF, "qef64::database moved from");
    return db_;
  }
  static std::string_view view(const void* p, std::size_t n) {
    return n == 0 ? std::string_view()
                  : std::string_view(static_cast<const char*>(p), n);
  }
  qef64_db* db_ = nullptr;
};

class builder {
 public:
  // Creates the file of the build beside path; throws std::system_error.
  explicit builder(const char* path) {
    int rc = qef64_builder_open(path, &b_);
    if (rc != 0) throw_error(rc, path);
  }
  explicit builder(const std::string& path) : builder(path.c_str()) {}

  builder(builder&& other) noexcept : b_(std::exchange(other.b_, nullptr)) {}
  builder& operator=(builder&& other) noexcept {
    if (this != &other) {
      abort();
      b_ = std::exchange(other.b_, nullptr);
    }
    return *this;
  }
  builder(const builder&) = delete;
  builder& operator=(const builder&) = delete;
  // A builder neither committed nor aborted is aborted: the files of the
  // build go, the path stays as it was.
  ~builder() { abort(); }

  // The memory for the index, in bytes (64 MiB unless set); before the
  // first add. See qef64_builder_set_memory.
  void set_memory(std::uint64_t bytes) {
    int rc = qef64_builder_set_memory(live(), bytes);
    if (rc != 0) throw_error(rc, "qef64_builder_set_memory");
  }

  void add(std::string_view key, std::string_view data) {
    int rc = qef64_builder_add(live(), key.data(), key.size(), data.data(),
                               data.size());
    if (rc != 0) throw_error(rc, "qef64_builder_add");
  }
  // Finishes the database and renames it onto the path. The builder is
  // spent afterwards, whether it succeeded or threw.
  void commit() {
    int rc = qef64_builder_commit(std::exchange(live(), nullptr));
    if (rc != 0) throw_error(rc, "qef64_builder_commit");
  }
  void abort() noexcept {
    qef64_builder_abort(b_);
    b_ = nullptr;
  }

 private:
  // The handle, which a finished or moved-from builder no longer has.
  qef64_builder*& live() {
    if (b_ == nullptr)
      throw_error(EBADF, "qef64::builder finished or moved from");
    return b_;
  }
  qef64_builder* b_ = nullptr;
};

// A sharded set, open: the version `current` named at opening (or the
// version whose directory was given), with the reading methods of
// database over all its shards. Views stay valid while the set lives.
//
//   qef64::set s("words");
//   std::optional<std::string_view> v = s.get("key");
class set {
 public:
  // Opens a set's directory or one version's; throws std::system_error.
  explicit set(const char* path, unsigned flags = 0) {
    int rc = qef64_set_open_ex(path, flags, &s_);
    if (rc != 0) throw_error(rc, path);
  }
  explicit set(const std::string& path, unsigned flags = 0)
      : set(path.c_str(), flags) {}

  set(set&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
  set& operator=(set&& other) noexcept {
    if (this != &other) {
      qef64_set_close(s_);
      s_ = std::exchange(other.s_, nullptr);
    }
    return *this;
  }
  set(const set&) = delete;
  set& operator=(const set&) = delete;
  ~set() { qef64_set_close(s_); }

  // The data of the key's first record, or nullopt when it has none.
  std::optional<std::string_view> get(std::string_view key) const {
    const void* data;
    std::size_t len;
    int rc = qef64_set_get(live(), key.data(), key.size(), &data, &len);
    if (rc == QEF64_NOTFOUND) return std::nullopt;
    if (rc != 0) throw_error(rc, "qef64_set_get");
    return view(data, len);
  }

  // The data of every record of the key, in the order added.
  std::vector<std::string_view> get_all(std::string_view key) const {
    std::vector<std::string_view> all;
    qef64_cursor cur = QEF64_CURSOR_INIT;
    const qef64_set* s = live();
    for (;;) {
      const void* data;
      std::size_t len;
      int rc =
          qef64_set_find_next(s, &cur, key.data(), key.size(), &data, &len);
      if (rc == QEF64_NOTFOUND) return all;
      if (rc != 0) throw_error(rc, "qef64_set_find_next");
      all.push_back(view(data, len));
    }
  }

  // The first record of each key, in one batch over every shard.
  std::vector<std::optional<std::string_view>> get_many(
      const std::string_view* keys, std::size_t n) const {
    const qef64_set* s = live();
    std::vector<const void*> key_ptrs(n);
    std::vector<std::size_t> key_lens(n);
    for (std::size_t i = 0; i < n; i++) {
      key_ptrs[i] = keys[i].data();
      key_lens[i] = keys[i].size();
    }
    std::vector<const void*> data(n);
    std::vector<std::size_t> lens(n);
    int rc = qef64_set_get_many(s, n, key_ptrs.data(), key_lens.data(),
                                data.data(), lens.data());
    if (rc != 0) throw_error(rc, "qef64_set_get_many");
    std::vector<std::optional<std::string_view>> out(n);
    for (std::size_t i = 0; i < n; i++) {
      if (data[i] != nullptr) out[i] = view(data[i], lens[i]);
    }
    return out;
  }
  std::vector<std::optional<std::string_view>> get_many(
      const std::vector<std::string_view>& keys) const {
    return get_many(keys.data(), keys.size());
  }
#if __cplusplus >= 202002L
  std::vector<std::optional<std::string_view>> get_many(
      std::span<const std::string_view> keys) const {
    return get_many(keys.data(), keys.size());
  }
#endif

  // Every record as (key, data): shard 0 first, each shard in file order.
  // A damaged shard throws from operator++.
  class iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = std::pair<std::string_view, std::string_view>;
    using difference_type = std::ptrdiff_t;
    using pointer = const value_type*;
    using reference = const value_type&;

    iterator() = default;
    reference operator*() const { return record_; }
    pointer operator->() const { return &record_; }
    iterator& operator++() {
      const void *key, *data;
      std::size_t key_len, data_len;
      int rc = qef64_set_iter_next(s_, &it_, &key, &key_len, &data, &data_len);
      if (rc == QEF64_NOTFOUND) {
        s_ = nullptr;
        return *this;
      }
      if (rc != 0) throw_error(rc, "qef64_set_iter_next");
      record_ = {view(key, key_len), view(data, data_len)};
      return *this;
    }
    void operator++(int) { ++*this; }
    // Iterators are equal when both are at the end; a walk is one pass.
    friend bool operator==(const iterator& a, const iterator& b) {
      return a.s_ == nullptr && b.s_ == nullptr;
    }
    friend bool operator!=(const iterator& a, const iterator& b) {
      return !(a == b);
    }

   private:
    friend class set;
    explicit iterator(const qef64_set* s) : s_(s) { ++*this; }
    const qef64_set* s_ = nullptr;
    qef64_iter it_ = QEF64_ITER_INIT;
    value_type record_;
  };
  iterator begin() const {
    return iterator(live());
  }
  iterator end() const {
    (void)live();
    return iterator();
  }

  // The number of records, all shards together.
  std::uint64_t size() const {
    return qef64_set_count(live());
  }
  std::size_t shards() const {
    return qef64_set_shards(live());
  }
  // Shard i's C handle, owned by the set; null for i out of range.
  const qef64_db* shard(std::size_t i) const {
    return qef64_set_shard(live(), i);
  }
  // The version directory's name ("v-...").
  std::string_view version() const {
    return qef64_set_version(live());
  }
  // True when `current` now names another version, or none.
  bool replaced() const {
    return qef64_set_replaced(live()) != 0;
  }
  // How much of all shards is in memory now (qef64_set_resident).
  database::residency resident() const {
    database::residency r{};
    int rc = qef64_set_resident(live(), &r.tables, &r.records);
    if (rc != 0) throw_error(rc, "qef64_set_resident");
    return r;
  }
  // Sizes, checksums and every shard's structure: true when sound, false
  // when damaged (with *problem, when given, saying where); throws on a
  // failure to check.
  bool verify(qef64_problem* problem = nullptr) const {
    int rc = qef64_set_verify_problem(live(), problem);
    if (rc == EPROTO) return false;
    if (rc != 0) throw_error(rc, "qef64_set_verify");
    return true;
  }
  // The C handle, for calls this class does not wrap.
  const qef64_set* handle() const {
    return live();
  }

 private:
  // The handle, which a moved-from set no longer has.
  const qef64_set* live() const {
    if (s_ == nullptr) throw_error(EBADF, "qef64::set moved from");
    return s_;
  }
  static std::string_view view(const void* p, std::size_t n) {
    return n == 0 ? std::string_view()
                  : std::string_view(static_cast<const char*>(p), n);
  }
  qef64_set* s_ = nullptr;
};

// A new version of a sharded set, built in this process and published by
// commit: one builder per shard, each record routed to its shard.
//
//   qef64::set_builder b("words", 32);  // takes the set's lock
//   b.add("key", "data");
//   b.commit();                         // checksummed, durable, current
class set_builder {
 public:
  // Takes the set's lock (EWOULDBLOCK while another publication holds
  // it) and starts the version; throws std::system_error.
  set_builder(const char* path, std::size_t shards) {
    int rc = qef64_set_builder_open(path, shards, &b_);
    if (rc != 0) throw_error(rc, path);
  }
  set_builder(const std::string& path, std::size_t shards)
      : set_builder(path.c_str(), shards) {}

  set_builder(set_builder&& other) noexcept
      : b_(std::exchange(other.b_, nullptr)) {}
  set_builder& operator=(set_builder&& other) noexcept {
    if (this != &other) {
      abort();
      b_ = std::exchange(other.b_, nullptr);
    }
    return *this;
  }
  set_builder(const set_builder&) = delete;
  set_builder& operator=(const set_builder&) = delete;
  // A builder neither committed nor aborted is aborted: nothing is
  // published, and no file of the build remains.
  ~set_builder() { abort(); }

  // The index memory of all shards together (64 MiB unless set); before
  // the first add.
  void set_memory(std::uint64_t bytes) {
    int rc = qef64_set_builder_set_memory(live(), bytes);
    if (rc != 0) throw_error(rc, "qef64_set_builder_set_memory");
  }
  void add(std::string_view key, std::string_view data) {
    int rc = qef64_set_builder_add(live(), key.data(), key.size(), data.data(),
                                   data.size());
    if (rc != 0) throw_error(rc, "qef64_set_builder_add");
  }
  // Publishes the version. The builder is spent afterwards, whether it
  // succeeded or threw.
  void commit() {
    int rc = qef64_set_builder_commit(std::exchange(live(), nullptr));
    if (rc != 0) throw_error(rc, "qef64_set_builder_commit");
  }
  void abort() noexcept {
    qef64_set_builder_abort(b_);
    b_ = nullptr;
  }

 private:
  qef64_set_builder*& live() {
    if (b_ == nullptr)
      throw_error(EBADF, "qef64::set_builder finished or moved from");
    return b_;
  }
  qef64_set_builder* b_ = nullptr;
};

}  // namespace qef64

#endif  // QEF64_QEF64_HPP
