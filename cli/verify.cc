// qef64 verify: the deep check of a database file (qef64_verify_problem)
// or of a sharded set (qef64_set_verify_problem: sizes, checksums, and
// each shard's structure). Status 0 when sound, 1 when damaged with a
// line naming the first problem and where it lies, 111 when the check
// itself fails. A file or a set that does not even open for damage is
// damaged too.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "cli/command.h"
#include "cli/fail.h"
#include "cli/io.h"
#include "cli/progress.h"
#include "cli/source.h"
#include "qef64/qef64.h"

namespace qef64::cli {
namespace {

const char help[] =
    "Usage: qef64 verify [OPTION]... DB\n"
    "Check DB in depth: every record lies inside the records and is found by\n"
    "its key, every slot of the tables names a record of its hash; for a\n"
    "set also each shard's size and SHA-256 against its manifest. Status 0\n"
    "when DB is sound, 1 when it is damaged, with a line on standard error\n"
    "that names the first problem and where it lies, 111 when the check\n"
    "fails.\n"
    "\n"
    "      --progress     show progress on standard error even when it is\n"
    "                     not a terminal\n"
    "      --no-progress  never show progress\n"
    "  -h, --help         this text\n";

enum option_id { progress_id = 256, quiet_id };

// Short, so that a quick check does not wait for the next look; the
// progress line itself is redrawn a few times a second.
constexpr double poll_seconds = 0.01;

struct check {
  const source* db;
  qef64_problem problem;
  int rc;
  std::atomic<bool> done;
};

void run_check(check* c) {
  c->rc = source_verify_problem(c->db, &c->problem);
  c->done.store(true, std::memory_order_release);
}

// The bytes this process has read by read(2) so far (rchar in
// /proc/self/io), which is how the check reads a file: its progress.
// 0 where the system does not say.
std::uint64_t bytes_read() {
  int fd = ::open("/proc/self/io", O_RDONLY | O_CLOEXEC);
  if (fd == -1) return 0;
  char text[512];
  ssize_t n = ::read(fd, text, sizeof text - 1);
  (void)::close(fd);  // read-only: nothing to lose
  if (n <= 0) return 0;
  std::string_view s(text, static_cast<std::size_t>(n));
  constexpr std::string_view field = "rchar: ";
  std::size_t at = s.find(field);
  if (at == std::string_view::npos) return 0;
  std::uint64_t value = 0;
  const char* from = s.data() + at + field.size();
  (void)std::from_chars(from, s.data() + s.size(), value);
  return value;
}

// Runs the check, on a thread of its own while the progress is shown.
void run_with_progress(check* c, progress_mode mode, std::int64_t total) {
  progress meter;
  progress_start(&meter, mode, total);
  if (!meter.on) {
    run_check(c);
    return;
  }
  std::uint64_t start = bytes_read();
  std::thread worker(run_check, c);
  while (!c->done.load(std::memory_order_acquire)) {
    std::this_thread::sleep_for(std::chrono::duration<double>(poll_seconds));
    progress_set(&meter, bytes_read() - start);
  }
  worker.join();
  progress_set(&meter, bytes_read() - start);
  progress_done(&meter);
}

// The damage that makes DB fail to open, or "" for another failure.
std::string damage_at_open(const std::string& path, int rc) {
  struct stat st;
  if (::stat(path.c_str(), &st) == -1) return "";
  if (!S_ISDIR(st.st_mode)) {
    if (rc == EPROTO)
      return "byte offset 0: the header does not describe the file, or it "
             "is no database at all";
    return "";
  }
  if (rc == EPROTO)
    return "its manifest does not fit its shard files (their sizes, record "
           "counts or headers), or is no manifest of ours";
  // A set's directory that a version once was published in, or a version
  // directory: what it names is missing, not the set itself.
  struct stat link;
  if (rc == ENOENT && (::lstat((path + "/current").c_str(), &link) == 0 ||
                       ::lstat((path + "/manifest.json").c_str(), &link) == 0))
    return "a file it names is missing: the version that current names, "
           "its manifest or one of its shards";
  return "";
}

}  // namespace

int command_verify(int argc, char** argv) {
  static const option longs[] = {
      {"progress", no_argument, nullptr, progress_id},
      {"no-progress", no_argument, nullptr, quiet_id},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  progress_mode mode = progress_mode::automatic;
  for (int c; (c = next_option(argc, argv, "", longs, help)) != -1;) {
    if (c == progress_id) mode = progress_mode::on;
    if (c == quiet_id) mode = progress_mode::off;
  }
  if (optind + 1 != argc)
    usage_error("verify", optind == argc ? "expected DB" : "expected only DB");
  source db;
  int rc = source_try_open(&db, argv[optind], 0);
  if (rc != 0) {
    std::string damage = damage_at_open(db.path, rc);
    if (!damage.empty())
      fail_status(status_damaged, db.path + " is damaged: " + damage);
    fail("unable to open " + db.path + ": " + error_text(rc));
  }
  // The check reads a file once, in a single pass when it has at most 16
  // million records; a set's checksums read through the mapping, which
  // the count does not see.
  std::int64_t total = -1;
  struct stat st;
  if (db.db != nullptr && ::stat(db.path.c_str(), &st) == 0) total = st.st_size;
  check c = {&db, {}, 0, {false}};
  run_with_progress(&c, mode, total);
  if (c.rc == EPROTO)
    fail_status(status_damaged,
                db.path + " is damaged: " +
                    source_place(&db, c.problem.shard, c.problem.offset) +
                    ": " +
                    (c.problem.what != nullptr ? c.problem.what : "damaged"));
  if (c.rc != 0) fail("unable to verify " + db.path + ": " + error_text(c.rc));
  std::uint64_t records = source_count(&db);
  std::string sound = db.path + ": sound, " + std::to_string(records) +
                      (records == 1 ? " record" : " records");
  if (db.set != nullptr)
    sound += " in " + std::to_string(source_shards(&db)) +
             " shards of version " + qef64_set_version(db.set);
  output_put(sound + "\n");
  output_flush();
  source_close(&db);
  return status_ok;
}

}  // namespace qef64::cli
