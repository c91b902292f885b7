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
    int rc = qef64_get(db_, key.data(), key.size(), &data, &len);
    if (rc == QEF64_NOTFOUND) return std::nullopt;
    if (rc != 0) throw_error(rc, "qef64_get");
    return view(data, len);
  }

  // The data of every record of the key, in the order added.
  std::vector<std::string_view> get_all(std::string_view key) const {
    std::vector<std::string_view> all;
    qef64_cursor cur = QEF64_CURSOR_INIT;
    for (;;) {
      const void* data;
      std::size_t len;
      int rc = qef64_find_next(db_, &cur, key.data(), key.size(), &data, &len);
      if (rc == QEF64_NOTFOUND) return all;
      if (rc != 0) throw_error(rc, "qef64_find_next");
      all.push_back(view(data, len));
    }
  }

  // The first record of each key, in one batched call.
  std::vector<std::optional<std::string_view>> get_many(
      const std::string_view* keys, std::size_t n) const {
    std::vector<const void*> key_ptrs(n);
    std::vector<std::size_t> key_lens(n);
    for (std::size_t i = 0; i < n; i++) {
      key_ptrs[i] = keys[i].data();
      key_lens[i] = keys[i].size();
    }
    std::vector<const void*> data(n);
    std::vector<std::size_t> lens(n);
    int rc = qef64_get_many(db_, n, key_ptrs.data(), key_lens.data(),
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
    return iterator(db_);
  }
  iterator end() const {
    return iterator();
  }

  // The number of records.
  std::uint64_t size() const {
    return qef64_count(db_);
  }
  // True when the path now names another file or none, or the file was
  // changed in place.
  bool replaced() const {
    return qef64_replaced(db_) != 0;
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
    return db_;
  }

 private:
  explicit database(qef64_db* db) : db_(db) {}
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
  qef64_builder*& live() {
    if (b_ == nullptr) throw_error(EINVAL, "qef64::builder already finished");
    return b_;
  }
  qef64_builder* b_ = nullptr;
};

}  // namespace qef64

#endif  // QEF64_QEF64_HPP
