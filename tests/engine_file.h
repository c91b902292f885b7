// Database files made by the writer engine in memory, and the 64-bit fields
// in them, for the tests that damage a file at offsets worked out from its
// layout.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "db/format.h"
#include "db/writer.h"
#include "tests/process.h"

inline const unsigned char* bytes_of(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// The bytes of a database with the given records, by the writer engine.
inline std::string build(
    const std::vector<std::pair<std::string, std::string>>& records) {
  std::string dir = make_temp_dir();
  int fd = open((dir + "/db").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  static qef64::db_writer w;
  EXPECT_EQ(qef64::writer_start(&w, fd), 0);
  for (const auto& [k, d] : records) {
    EXPECT_EQ(
        qef64::writer_add(&w, bytes_of(k), static_cast<std::int64_t>(k.size()),
                          bytes_of(d), static_cast<std::int64_t>(d.size())),
        0);
  }
  EXPECT_EQ(qef64::writer_finish(&w), 0);
  qef64::writer_release(&w);
  close(fd);
  std::string file = read_file(dir + "/db");
  remove_tree(dir);
  return file;
}

inline void put64(std::string& f, std::size_t at, std::uint64_t v) {
  qef64::store_u64le(reinterpret_cast<unsigned char*>(f.data()) + at, v);
}
inline std::uint64_t get64(const std::string& f, std::size_t at) {
  return qef64::load_u64le(bytes_of(f) + at);
}
