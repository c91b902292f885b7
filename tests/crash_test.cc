// Replacing a database is atomic: a builder killed at any moment leaves f
// as the old file or, once it renamed, the whole new one, and readers that
// open f while builds replace it again and again see one of the two.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/process.h"

namespace {

#ifdef QEF64_SANITIZE_BUILD
constexpr int kill_count = 50;
constexpr double lookup_seconds = 6;
#else
constexpr int kill_count = 50;
constexpr double lookup_seconds = 3;
#endif
constexpr int lookup_limit = 20000;

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) +
         static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Record text of n records whose keys start with prefix.
std::string records_text(const std::string& prefix, int n,
                         const std::string& fill) {
  std::string text;
  for (int i = 0; i < n; i++) {
    std::string key = prefix + std::to_string(i);
    std::string data = fill + std::to_string(i);
    text += "+" + std::to_string(key.size()) + "," +
            std::to_string(data.size()) + ":" + key + "->" + data + "\n";
  }
  return text;
}

// Starts qef64make f ftmp reading the file `input`, its output discarded.
pid_t start_builder(const std::string& f, const std::string& ftmp,
                    const std::string& input) {
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(input.c_str(), O_RDONLY);
    int null = open("/dev/null", O_WRONLY);
    if (in == -1 || null == -1) _exit(126);
    dup2(in, 0);
    dup2(null, 1);
    dup2(null, 2);
    std::string make = program("qef64make");
    execl(make.c_str(), make.c_str(), f.c_str(), ftmp.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

TEST(CrashAtomicity, KilledBuilderLeavesTheOldOrTheNewFile) {
  std::string dir = make_temp_dir();
  const int n = 2000;
  const std::string texts[2] = {
      records_text("a", n, std::string(100, 'A')) + "\n",
      records_text("b", n, std::string(120, 'B')) + "\n"};
  std::string inputs[2], files[2];
  double slowest = 0;
  for (int i = 0; i < 2; i++) {
    inputs[i] = dir + "/input" + std::to_string(i);
    write_file(inputs[i], texts[i]);
    std::string g = dir + "/g" + std::to_string(i);
    double t0 = now();
    run_options o;
    o.in = input_kind::path;
    ASSERT_EQ(run({program("qef64make"), g, g + ".tmp"}, inputs[i], o).status,
              0);
    slowest = std::max(slowest, now() - t0);
    files[i] = read_file(g);
  }
  const std::string f = dir + "/f", ftmp = dir + "/ftmp";
  write_file(f, files[0]);
  const bool have_test = file_exists(program("qef64test"));
  const std::string all_found = "found: " + std::to_string(n) +
                                "\ndifferent record: 0\nbad length: 0\n"
                                "not found: 0\nuntested: 0\n";

  std::mt19937_64 rng(7);
  int current = 0, killed = 0, old_kept = 0, new_seen = 0;
  double bound = slowest;
  for (int i = 0; i < kill_count; i++) {
    int target = 1 - current;
    pid_t pid = start_builder(f, ftmp, inputs[target]);
    ASSERT_GT(pid, 0);
    // Anywhere from the start to the bound, which follows the builds'
    // speed: it shrinks after a build that finished before the kill and
    // grows after one that did not, so that most kills land inside a build.
    auto delay = std::chrono::microseconds(static_cast<long>(
        static_cast<double>(rng() % 1000) / 1000.0 * bound * 1e6));
    std::this_thread::sleep_for(delay);
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
      killed++;
      bound = std::min(bound * 1.15, 4 * slowest);
    } else {
      bound *= 0.7;
    }
    std::string now_f = read_file(f);
    if (now_f == files[target]) {
      current = target;
      new_seen++;
    } else if (now_f == files[current]) {
      old_kept++;
    } else {
      FAIL() << "after kill " << i << " f is neither the old nor the new file ("
             << now_f.size() << " bytes)";
    }
    if (have_test) {
      run_options o;
      o.in = input_kind::path;
      run_result r = run({program("qef64test")}, f, o);
      ASSERT_EQ(r.status, 0) << r.err;
      ASSERT_EQ(r.out, all_found) << "after kill " << i;
    }
  }
  std::printf(
      "crash: %d builders killed (%d runs), f intact every time: old "
      "file %d times, new file %d times\n",
      killed, kill_count, old_kept, new_seen);
  EXPECT_GT(killed, kill_count / 2) << "most kills should land inside a build";
  remove_tree(dir);
}

// A directory in memory when the system has one: there fsync costs nothing,
// so the builds come fast and the lookups many.
std::string make_memory_dir() {
  char tmpl[] = "/dev/shm/qef64-crash-XXXXXX";
  if (mkdtemp(tmpl) != nullptr) return tmpl;
  return make_temp_dir();
}

TEST(ConcurrentReaders, LookupsDuringReplacementSeeOneOfTheTwoFiles) {
  std::string dir = make_memory_dir();
  const std::string f = dir + "/f", ftmp = dir + "/ftmp";
  const std::string values[2] = {"the old value", "the new value, longer"};
  std::string texts[2];
  for (int i = 0; i < 2; i++) {
    // The key sits among others, at a different place in each file.
    texts[i] = records_text("x", 200 + 100 * i, "filler") + "+1," +
               std::to_string(values[i].size()) + ":k->" + values[i] + "\n" +
               records_text("y", 300, "more") + "\n";
  }
  ASSERT_EQ(run({program("qef64make"), f, ftmp}, texts[0]).status, 0);

  std::atomic<bool> stop{false};
  std::atomic<int> builds{0}, failed_builds{0};
  std::thread builder([&] {
    for (int i = 1; !stop; i++) {
      if (run({program("qef64make"), f, ftmp}, texts[i % 2]).status != 0)
        failed_builds++;
      builds++;
    }
  });
  std::atomic<int> lookups{0}, failures{0}, seen[2] = {0, 0};
  std::string first_failure;
  std::mutex failure_lock;
  auto reader = [&] {
    const double deadline = now() + lookup_seconds;
    while (now() < deadline && lookups < lookup_limit) {
      run_options o;
      o.in = input_kind::path;  // f opened afresh by every lookup
      run_result r = run({program("qef64get"), "k"}, f, o);
      lookups++;
      if (r.status == 0 && r.out == values[0]) {
        seen[0]++;
      } else if (r.status == 0 && r.out == values[1]) {
        seen[1]++;
      } else {
        failures++;
        std::lock_guard<std::mutex> hold(failure_lock);
        if (first_failure.empty())
          first_failure = "status " + std::to_string(r.status) + ", out '" +
                          r.out + "', err '" + r.err + "'";
      }
    }
  };
  std::thread readers[2] = {std::thread(reader), std::thread(reader)};
  for (std::thread& t : readers)
    t.join();
  stop = true;
  builder.join();

  std::printf(
      "concurrent: %d lookups during %d replacements, %d failed "
      "(old value %d, new value %d)\n",
      lookups.load(), builds.load(), failures.load(), seen[0].load(),
      seen[1].load());
  EXPECT_EQ(failures, 0) << first_failure;
  EXPECT_EQ(failed_builds, 0);
  EXPECT_GT(builds, 2);
  std::filesystem::remove_all(dir);
}

}  // namespace
