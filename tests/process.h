#pragma once

// Runs the built programs as processes for the whole-program tests.

#include <string>
#include <vector>

struct run_result {
  int status = -1;  // exit status, or -1 when the process was signalled
  int signal = 0;   // the terminating signal, or 0
  bool timed_out = false;
  std::string out;  // everything written to descriptor 1
  std::string err;  // everything written to descriptor 2
};

enum class input_kind {
  pipe,  // stdin is a pipe fed with the input bytes
  file,  // stdin is a regular file holding the input bytes
  path,  // stdin is opened read-only from the path given as input
  none,  // stdin is closed
};

enum class output_kind {
  pipe,    // stdout is captured through a pipe
  closed,  // stdout is closed
  full,    // stdout is /dev/full
};

struct run_options {
  input_kind in = input_kind::pipe;
  output_kind out = output_kind::pipe;
  std::string cwd;  // empty: the test's own
  double timeout_seconds = 60;
  std::vector<std::string> env;  // extra NAME=VALUE entries
  long fsize_limit = -1;         // RLIMIT_FSIZE in bytes, SIGXFSZ ignored
};

// The directory of the built programs.
std::string bin_dir();
// bin_dir() + "/" + name.
std::string program(const std::string& name);

// Runs argv[0] with the arguments; input as options.in says.
run_result run(const std::vector<std::string>& argv, const std::string& input,
               const run_options& options = {});

// A fresh, empty directory for one test; removed by remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string& dir);

// One record of the builder's input.
struct text_record {
  std::string key, data;
};
// The builder's record text: "+klen,dlen:key->data\n" per record, then the
// empty line that ends it.
std::string framing(const std::vector<text_record>& records);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);
