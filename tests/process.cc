#include "tests/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef QEF64_BIN_DIR
#error "QEF64_BIN_DIR names the directory of the built programs"
#endif

namespace {

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) +
         static_cast<double>(ts.tv_nsec) * 1e-9;
}

void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

std::string bin_dir() {
  return QEF64_BIN_DIR;
}
std::string program(const std::string& name) {
  return bin_dir() + "/" + name;
}

run_result run(const std::vector<std::string>& argv, const std::string& input,
               const run_options& options) {
  int in_pipe[2] = {-1, -1}, out_pipe[2], err_pipe[2];
  std::string in_file;
  if (options.in == input_kind::pipe && pipe(in_pipe) == -1) fail("pipe");
  if (options.in == input_kind::file) {
    char tmpl[] = "/tmp/qef64-input-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd == -1) fail("mkstemp");
    close(fd);
    in_file = tmpl;
    write_file(in_file, input);
  }
  if (pipe(out_pipe) == -1 || pipe(err_pipe) == -1) fail("pipe");

  pid_t pid = fork();
  if (pid == -1) fail("fork");
  if (pid == 0) {
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) == -1) _exit(126);
    switch (options.in) {
      case input_kind::pipe:
        dup2(in_pipe[0], 0);
        close(in_pipe[0]);
        close(in_pipe[1]);
        break;
      case input_kind::file:
      case input_kind::path: {
        const std::string& p = options.in == input_kind::file ? in_file : input;
        int fd = open(p.c_str(), O_RDONLY);
        if (fd == -1) _exit(126);
        dup2(fd, 0);
        if (fd != 0) close(fd);
        break;
      }
      case input_kind::none:
        close(0);
        break;
    }
    switch (options.out) {
      case output_kind::pipe:
        dup2(out_pipe[1], 1);
        break;
      case output_kind::closed:
        close(1);
        break;
      case output_kind::full: {
        int fd = open("/dev/full", O_WRONLY);
        if (fd == -1) _exit(126);
        dup2(fd, 1);
        close(fd);
        break;
      }
    }
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[0]);
    close(err_pipe[1]);
    if (options.fsize_limit >= 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit rl{static_cast<rlim_t>(options.fsize_limit),
                static_cast<rlim_t>(options.fsize_limit)};
      setrlimit(RLIMIT_FSIZE, &rl);
    }
    for (const std::string& e : options.env)
      putenv(strdup(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv)
      args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }

  run_result result;
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (in_pipe[0] != -1) close(in_pipe[0]);
  int in_fd = in_pipe[1];
  std::size_t in_done = 0;
  if (in_fd != -1) {
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
    if (input.empty()) {
      close(in_fd);
      in_fd = -1;
    }
  }
  int open_outputs = 2;
  bool out_open = true, err_open = true;
  double deadline = now() + options.timeout_seconds;
  signal(SIGPIPE, SIG_IGN);
  while (open_outputs > 0) {
    pollfd fds[3];
    int n = 0;
    if (out_open) fds[n++] = {out_pipe[0], POLLIN, 0};
    if (err_open) fds[n++] = {err_pipe[0], POLLIN, 0};
    if (in_fd != -1) fds[n++] = {in_fd, POLLOUT, 0};
    double left = deadline - now();
    if (left <= 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    int r =
        poll(fds, static_cast<nfds_t>(n), static_cast<int>(left * 1000) + 1);
    if (r == -1 && errno != EINTR) fail("poll");
    for (int i = 0; i < n && r > 0; i++) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in_fd) {
        ssize_t w =
            write(in_fd, input.data() + in_done, input.size() - in_done);
        if (w > 0) in_done += static_cast<std::size_t>(w);
        if (w == -1 && errno != EAGAIN && errno != EINTR)
          in_done = input.size();
        if (in_done == input.size()) {
          close(in_fd);
          in_fd = -1;
        }
        continue;
      }
      char buf[65536];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        (fds[i].fd == out_pipe[0] ? result.out : result.err)
            .append(buf, static_cast<std::size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        if (fds[i].fd == out_pipe[0])
          out_open = false;
        else
          err_open = false;
        open_outputs--;
      }
    }
  }
  if (in_fd != -1) close(in_fd);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) == -1 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
  if (!in_file.empty()) unlink(in_file.c_str());
  return result;
}

std::string make_temp_dir() {
  char tmpl[] = "/tmp/qef64-test-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) fail("mkdtemp");
  return tmpl;
}

void remove_tree(const std::string& dir) {
  if (dir.rfind("/tmp/qef64-", 0) != 0) return;
  std::string cmd = "rm -rf '" + dir + "'";
  if (std::system(cmd.c_str()) != 0) fail("rm");
}

std::string framing(const std::vector<text_record>& records) {
  std::string text;
  for (const text_record& r : records) {
    text += "+" + std::to_string(r.key.size()) + "," +
            std::to_string(r.data.size()) + ":" + r.key + "->" + r.data + "\n";
  }
  return text + "\n";
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}
