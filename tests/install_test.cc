// The installed project as a newcomer meets it: the tree that make install
// lays out, the embedding example built against it with find_package and
// with pkg-config, the .deb of make package, and the manual pages.
// Everything is installed into temporary directories, never into the system.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/process.h"

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> programs = {
    "qef64make", "qef64get", "qef64dump", "qef64stats", "qef64test", "qef64"};
// The public headers; the runtime's and the engines' stay private.
const std::vector<std::string> headers = {"qef64.h", "qef64.hpp"};

// What build_and_lookup prints for the database it builds, and what
// lookup prints for the same records built by qef64make.
const char* const embedded_lookups =
    "red: #ff0000\n"
    "grey: gray\n"
    "grey: #808080\n"
    "blue: not found\n";
const char* const colors_text =
    "+3,7:red->#ff0000\n+4,4:grey->gray\n+4,7:grey->#808080\n\n";

// The sanitizer runtimes are in the archive's objects but not in a
// consumer's link, so the consumer builds run on the normal build only.
#ifdef QEF64_SANITIZE_BUILD
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

bool have(const std::string& command) {
  return run({"/bin/sh", "-c", "command -v " + command}, "").status == 0;
}

// Runs a shell command line; the test fails with its output when the
// command does.
run_result shell(const std::string& line,
                 const std::vector<std::string>& env = {}) {
  run_options options;
  options.timeout_seconds = 120;
  options.env = env;
  run_result r = run({"/bin/sh", "-c", line}, "", options);
  EXPECT_EQ(r.status, 0) << line << "\n" << r.out << r.err;
  return r;
}

std::string sh_quote(const std::string& s) {
  return "'" + s + "'";
}

class InstallTree : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { remove_tree(dir_); }

  // Installs the build into dir_/prefix and returns that prefix.
  std::string install() {
    std::string prefix = dir_ + "/prefix";
    shell(sh_quote(QEF64_CMAKE) + " --install " + sh_quote(QEF64_BUILD_DIR) +
          " --prefix " + sh_quote(prefix) + " >/dev/null");
    return prefix;
  }

  std::string dir_;
};

TEST_F(InstallTree, PlacesEverythingUnderPrefixInsideDestdir) {
  std::string stage = dir_ + "/stage";
  shell("DESTDIR=" + sh_quote(stage) + " " + sh_quote(QEF64_CMAKE) +
        " --install " + sh_quote(QEF64_BUILD_DIR) +
        " --prefix /opt/qef64 >/dev/null");
  std::string root = stage + "/opt/qef64/";
  std::string lib = root + QEF64_LIBDIR + "/";

  for (const std::string& name : programs) {
    // Every program that this build has is installed, executable, with its
    // page.
    if (!file_exists(program(name))) continue;
    EXPECT_EQ(access((root + "bin/" + name).c_str(), X_OK), 0) << name;
    EXPECT_TRUE(file_exists(root + "share/man/man1/" + name + ".1")) << name;
  }
  if (file_exists(program("qef64")))
    EXPECT_TRUE(file_exists(root + "share/bash-completion/completions/qef64"));
  EXPECT_TRUE(file_exists(root + "bin/qef64make"));
  EXPECT_TRUE(file_exists(root + "bin/qef64get"));
  EXPECT_TRUE(file_exists(root + "share/man/man5/qef64.5"));
  for (const std::string& h : headers) {
    EXPECT_TRUE(file_exists(root + "include/qef64/" + h)) << h;
  }
  EXPECT_FALSE(file_exists(root + "include/qef64/db"));
  EXPECT_FALSE(file_exists(root + "include/qef64/runtime"));
  EXPECT_TRUE(file_exists(root + "share/man/man3/qef64.3"));
  EXPECT_TRUE(file_exists(lib + "libqef64.a"));
  EXPECT_TRUE(file_exists(lib + "libqef64.so.0"));
  EXPECT_TRUE(file_exists(lib + "libqef64.so"));
  EXPECT_TRUE(file_exists(lib + "cmake/qef64/qef64Config.cmake"));
  EXPECT_TRUE(file_exists(lib + "cmake/qef64/qef64ConfigVersion.cmake"));
#ifdef QEF64_PYTHON_SITE
  EXPECT_TRUE(file_exists(root + QEF64_PYTHON_SITE "/qef64/__init__.py"));
  EXPECT_TRUE(file_exists(root + "share/man/man3/qef64-python.3"));
#endif

  // The staging directory is not part of the paths the .pc file names.
  std::string pc = read_file(lib + "pkgconfig/qef64.pc");
  EXPECT_NE(pc.find("prefix=/opt/qef64\n"), std::string::npos) << pc;
  EXPECT_EQ(pc.find(stage), std::string::npos) << pc;
  EXPECT_NE(pc.find("-lqef64"), std::string::npos) << pc;
}

TEST_F(InstallTree, FindPackageConsumerBuildsAndRuns) {
  if (sanitized) GTEST_SKIP() << "consumer builds run on the normal build";
  std::string prefix = install();
  std::string build = dir_ + "/embed";
  // The public headers must compile cleanly under a consumer's warnings, as
  // C11 and as C++17.
  shell(sh_quote(QEF64_CMAKE) + " -S " +
        sh_quote(QEF64_SOURCE_DIR "/examples/embed") + " -B " +
        sh_quote(build) + " -G " + sh_quote(QEF64_GENERATOR) +
        " -DCMAKE_CXX_COMPILER=" + sh_quote(QEF64_CXX) +
        " -DCMAKE_PREFIX_PATH=" + sh_quote(prefix) +
        " '-DCMAKE_CXX_FLAGS=-Wall -Wextra -Wpedantic -Wconversion"
        " -Wsign-conversion -Werror'"
        " '-DCMAKE_C_FLAGS=-Wall -Wextra -pedantic -Werror' >/dev/null");
  shell(sh_quote(QEF64_CMAKE) + " --build " + sh_quote(build) + " >/dev/null");

  run_result built =
      run({build + "/build_and_lookup", dir_ + "/colors.db"}, "");
  EXPECT_EQ(built.status, 0) << built.err;
  EXPECT_EQ(built.out, embedded_lookups);
  EXPECT_EQ(built.err, "");
  // The C program took the static library: it needs neither the shared
  // one nor a C++ runtime.
  std::string needed = shell("objdump -p " + sh_quote(build + "/lookup")).out;
  EXPECT_EQ(needed.find("libqef64"), std::string::npos) << needed;
  EXPECT_EQ(needed.find("libstdc++"), std::string::npos) << needed;

  // The reading example and the installed builder agree on the file.
  run_options in_dir;
  in_dir.cwd = dir_;
  run_result made = run({prefix + "/bin/qef64make", "made.db", "made.db.tmp"},
                        colors_text, in_dir);
  ASSERT_EQ(made.status, 0) << made.err;
  run_result looked =
      run({build + "/lookup", dir_ + "/made.db", "red", "grey", "blue"}, "");
  EXPECT_EQ(looked.status, 1);  // blue is missing
  EXPECT_EQ(looked.out, embedded_lookups);
}

TEST_F(InstallTree, PkgConfigConsumerBuildsAndRuns) {
  if (sanitized) GTEST_SKIP() << "consumer builds run on the normal build";
  if (!have("pkg-config"))
    GTEST_SKIP() << "pkg-config is not installed (apt-get install pkg-config)";
  std::string prefix = install();
  std::string libdir = prefix + "/" + QEF64_LIBDIR;
  std::vector<std::string> env = {"PKG_CONFIG_PATH=" + libdir + "/pkgconfig"};

  run_result flags = shell("pkg-config --cflags --libs qef64", env);
  // pkg-config and pkgconf differ in blanks and order, not in the flags.
  for (const std::string& flag :
       {"-I" + prefix + "/include ", "-L" + libdir + " ",
        std::string("-lqef64")}) {
    EXPECT_NE(flags.out.find(flag), std::string::npos) << flags.out;
  }

  run_options in_dir;
  in_dir.cwd = dir_;
  ASSERT_EQ(run({prefix + "/bin/qef64make", "made.db", "made.db.tmp"},
                colors_text, in_dir)
                .status,
            0);
  // The archive's own dependencies, which a static link adds after it.
  std::string requires_private =
      shell("pkg-config --print-requires-private qef64", env).out;
  EXPECT_NE(requires_private.find("libcjson"), std::string::npos);
  EXPECT_NE(requires_private.find("libcrypto"), std::string::npos);
  // C11 against the shared library, then against the archive, with the
  // libraries it requires (shared: Debian ships cJSON as such alone).
  for (const std::string& how : {"--libs", "--static --libs"}) {
    std::string exe = dir_ + "/lookup";
    shell("cc -std=c11 -Wall -Wextra -pedantic -Werror -o " + sh_quote(exe) +
              " " + sh_quote(QEF64_SOURCE_DIR "/examples/embed/lookup.c") +
              " $(pkg-config --cflags qef64) " +
              (how == "--libs"
                   ? "$(pkg-config --libs qef64)"
                   : "-L" + sh_quote(libdir) +
                         " -Wl,-Bstatic -lqef64 -Wl,-Bdynamic"
                         " $(pkg-config --static --libs"
                         " $(pkg-config --print-requires-private qef64))"),
          env);
    run_options with_lib;
    with_lib.env = {"LD_LIBRARY_PATH=" + libdir};
    run_result looked =
        run({exe, dir_ + "/made.db", "red", "grey", "blue"}, "", with_lib);
    EXPECT_EQ(looked.status, 1) << how << looked.err;
    EXPECT_EQ(looked.out, embedded_lookups) << how;
    std::string needed = shell("objdump -p " + sh_quote(exe)).out;
    EXPECT_EQ(needed.find("libqef64") == std::string::npos, how != "--libs")
        << how << needed;
  }
}

// The shared library exports the C functions and nothing else, and the
// archive defines nothing at global scope but those: every other symbol is
// inside namespace qef64 (mangled _ZN5qef64) or local.
TEST_F(InstallTree, LibrariesExposeOnlyTheCInterface) {
  if (!have("nm")) GTEST_SKIP() << "nm is not installed";
  // UBSan's function check gives every object the type information of the
  // function types it calls through, at global scope.
  if (sanitized) GTEST_SKIP() << "the sanitizers add symbols of their own";
  std::string lib = install() + "/" + QEF64_LIBDIR;
  std::string exported =
      shell("nm -D --defined-only " + sh_quote(lib + "/libqef64.so.0") +
            " | awk '{print $3}'")
          .out;
  EXPECT_NE(exported.find("qef64_open\n"), std::string::npos) << exported;
  EXPECT_EQ(shell("printf '%s' " + sh_quote(exported) +
                  " | grep -v '^qef64_' || true")
                .out,
            "");
  std::string global =
      shell("nm -g --defined-only " + sh_quote(lib + "/libqef64.a") +
            " | awk 'NF == 3 {print $3}' | grep -v -e '^qef64_' -e '^_ZN5qef64'"
            " || true")
          .out;
  EXPECT_EQ(global, "");
  std::string needed =
      shell("objdump -p " + sh_quote(lib + "/libqef64.so.0")).out;
  EXPECT_NE(needed.find("SONAME               libqef64.so.0"),
            std::string::npos);
  EXPECT_EQ(needed.find("libstdc++"), std::string::npos) << needed;
}

class DebPackage : public InstallTree {};

TEST_F(DebPackage, SplitsLibraryDevelopmentFilesAndPrograms) {
  if (!have("dpkg-deb")) GTEST_SKIP() << "dpkg-deb is not installed";
  shell(sh_quote(QEF64_CPACK) + " -G DEB --config " +
        sh_quote(QEF64_BUILD_DIR "/CPackConfig.cmake") + " -B " +
        sh_quote(dir_) + " >/dev/null");
  std::map<std::string, std::string> lists, depends;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    if (entry.path().extension() != ".deb") continue;
    std::string deb = sh_quote(entry.path().string());
    std::string name = shell("dpkg-deb -f " + deb + " Package").out;
    name.pop_back();  // the newline
    lists[name] = shell("dpkg-deb -c " + deb).out;
    depends[name] = shell("dpkg-deb -f " + deb + " Depends").out;
  }
  ASSERT_EQ(lists.count("libqef64-0"), 1u);
  ASSERT_EQ(lists.count("libqef64-dev"), 1u);
  ASSERT_EQ(lists.count("qef64-tools"), 1u);
  auto holds = [&](const std::string& package, const std::string& path) {
    // Each line of the listing ends with the entry's path.
    return lists[package].find(" ./usr/" + path) != std::string::npos;
  };
  std::string lib = std::string(QEF64_LIBDIR) + "/";
  EXPECT_TRUE(holds("libqef64-0", lib + "libqef64.so.0 "))
      << lists["libqef64-0"];
  EXPECT_FALSE(holds("libqef64-0", "include/"));
  EXPECT_EQ(depends["libqef64-dev"].rfind(
                "libqef64-0 (= " + std::string(QEF64_VERSION_TEXT) + "), ", 0),
            0u)
      << depends["libqef64-dev"];
  // What the archive and the library need of the system, for building and
  // at run time.
  for (const char* dev : {"libcjson-dev", "libssl-dev"})
    EXPECT_NE(depends["libqef64-dev"].find(dev), std::string::npos) << dev;
  for (const char* lib : {"libcjson1", "libssl3"})
    EXPECT_NE(depends["libqef64-0"].find(lib), std::string::npos) << lib;
  for (const std::string& h : headers) {
    EXPECT_TRUE(holds("libqef64-dev", "include/qef64/" + h + "\n")) << h;
  }
  EXPECT_TRUE(holds("libqef64-dev", lib + "libqef64.a\n"));
  EXPECT_TRUE(holds("libqef64-dev", lib + "libqef64.so "));
  EXPECT_TRUE(holds("libqef64-dev", lib + "cmake/qef64/qef64Config.cmake\n"));
  EXPECT_TRUE(holds("libqef64-dev", lib + "pkgconfig/qef64.pc\n"));
  EXPECT_TRUE(holds("libqef64-dev", "share/man/man3/qef64.3\n"));
  for (const std::string& name : programs) {
    if (!file_exists(program(name))) continue;
    EXPECT_TRUE(holds("qef64-tools", "bin/" + name + "\n")) << name;
    EXPECT_TRUE(holds("qef64-tools", "share/man/man1/" + name + ".1\n"));
  }
  EXPECT_TRUE(holds("qef64-tools", "share/man/man5/qef64.5\n"));
  // The qef64 command needs its libraries' packages, which dpkg-shlibdeps
  // names where it is installed; libc6 is there either way.
  EXPECT_NE(depends["qef64-tools"].find("libc6"), std::string::npos)
      << depends["qef64-tools"];
  if (file_exists(program("qef64"))) {
    EXPECT_TRUE(
        holds("qef64-tools", "share/bash-completion/completions/qef64\n"));
    if (have("dpkg-shlibdeps")) {
      for (const char* lib : {"libsimdjson", "libcsv", "libssl", "libstdc++"})
        EXPECT_NE(depends["qef64-tools"].find(lib), std::string::npos)
            << lib << ": " << depends["qef64-tools"];
    }
  }
#ifdef QEF64_PYTHON_SITE
  // The Python package stands alone: the library is compiled into it.
  ASSERT_EQ(lists.count("python3-qef64"), 1u);
  std::string site = QEF64_PYTHON_SITE "/qef64/";
  EXPECT_TRUE(holds("python3-qef64", site + "__init__.py\n"));
  EXPECT_TRUE(holds("python3-qef64", site + "__init__.pyi\n"));
  EXPECT_TRUE(holds("python3-qef64", site + "py.typed\n"));
  EXPECT_TRUE(holds("python3-qef64", site + "sharded.py\n"));
  EXPECT_TRUE(holds("python3-qef64", site + "dask.py\n"));
  EXPECT_TRUE(holds("python3-qef64", site + "_qef64."))
      << lists["python3-qef64"];
  EXPECT_TRUE(holds("python3-qef64", "share/man/man3/qef64-python.3\n"));
  EXPECT_EQ(depends["python3-qef64"].rfind("python3 (>= 3.", 0), 0u)
      << depends["python3-qef64"];
  EXPECT_EQ(depends["python3-qef64"].find("libqef64"), std::string::npos);
  EXPECT_NE(depends["python3-qef64"].find("libcjson1"), std::string::npos);
  // Byte-compiled files of imports as root go with the package.
  for (const auto& entry : fs::directory_iterator(dir_)) {
    if (entry.path().filename().string().rfind("python3-qef64_", 0) != 0)
      continue;
    std::string prerm =
        shell("dpkg-deb -I " + sh_quote(entry.path().string()) + " prerm").out;
    EXPECT_NE(prerm.find(site + "__pycache__"), std::string::npos) << prerm;
  }
#endif
}

// groff's warnings catch what a reader of the page would see broken:
// unknown macros, bad escapes, lines that do not fit.
TEST(ManPages, FormatWithoutGroffWarnings) {
  if (!have("groff")) GTEST_SKIP() << "groff is not installed";
  std::vector<std::string> pages;
  for (const auto& entry : fs::directory_iterator(QEF64_SOURCE_DIR "/docs")) {
    std::string ext = entry.path().extension().string();
    if (ext == ".1" || ext == ".3" || ext == ".5")
      pages.push_back(entry.path().string());
  }
  EXPECT_EQ(pages.size(), 9u);
  for (const std::string& page : pages) {
    run_result r =
        run({"/bin/sh", "-c", "groff -man -ww -z " + sh_quote(page)}, "");
    EXPECT_EQ(r.status, 0) << page;
    EXPECT_EQ(r.err, "") << page;
  }
}

// Every message text in a program's source is in its page: a message
// added to the code without its page fails here. Pages are rendered without
// hyphenation or wrapping, and blanks are squeezed on both sides.
TEST(ManPages, NameEveryMessageOfTheirProgram) {
  if (!have("groff")) GTEST_SKIP() << "groff is not installed";
  const std::map<std::string, std::vector<std::string>> sources = {
      {"qef64make", {"make.cc"}},
      {"qef64get", {"get.cc"}},
      {"qef64dump", {"dump.cc", "walk.cc"}},
      {"qef64stats", {"stats.cc", "walk.cc"}},
      {"qef64test", {"test.cc", "walk.cc"}},
      {"qef64",
       {"../cli/build.cc", "../cli/get.cc", "../cli/dump.cc", "../cli/warm.cc",
        "../cli/io.cc", "../cli/source.cc", "../cli/buffer.cc"}}};
  auto squeeze = [](const std::string& s) {
    return std::regex_replace(s, std::regex("[ \\t\\n]+"), " ");
  };
  // A C++ string literal, escapes included, so that quotes stay paired.
  const std::regex literal("\"((?:[^\"\\\\]|\\\\.)*)\"");
  for (const auto& [name, files] : sources) {
    std::string page = QEF64_SOURCE_DIR "/docs/" + name + ".1";
    run_result text =
        shell("groff -man -Tascii -rHY=0 -rLL=400n -P-cbu " + sh_quote(page));
    std::string rendered = squeeze(text.out);
    int messages = 0;
    for (const std::string& file : files) {
      std::string code = read_file(QEF64_SOURCE_DIR "/tools/" + file);
      for (std::sregex_iterator it(code.begin(), code.end(), literal), end;
           it != end; ++it) {
        std::string message = (*it)[1].str();
        if (message.find("unable to") == std::string::npos &&
            message.find("usage:") == std::string::npos &&
            message.find("fatal:") == std::string::npos)
          continue;
        messages++;
        std::string piece = squeeze(message);
        if (piece.back() == ' ') piece.pop_back();
        EXPECT_NE(rendered.find(piece), std::string::npos)
            << name << ".1 lacks \"" << piece << "\" of tools/" << file;
      }
    }
    EXPECT_GE(messages, 3) << name;
  }
}

}  // namespace
