// Buffered streams through a scripted operation: every call's length is
// recorded, and planned results inject EINTR, short counts and failures.

#include "runtime/stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/bytes.h"

using namespace qef64;  // the engines and runtime under test

namespace {

struct planned_result {
  std::int64_t result;  // -1 sets errno to error; >= 0 moves that many bytes
  int error;
};

struct fake_device {
  std::vector<planned_result> plan;
  std::size_t next = 0;
  std::vector<std::int64_t> asked;  // len of each call, in order
  std::string written;              // every byte a write accepted
  std::string input;                // what reads deliver, front first
};
fake_device dev;

std::int64_t fake_write(std::int64_t, unsigned char* buf, std::int64_t len) {
  dev.asked.push_back(len);
  std::int64_t n = len;
  if (dev.next < dev.plan.size()) {
    planned_result p = dev.plan[dev.next++];
    if (p.result == -1) {
      errno = p.error;
      return -1;
    }
    n = p.result < len ? p.result : len;
  }
  dev.written.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n));
  return n;
}

std::int64_t fake_read(std::int64_t, unsigned char* buf, std::int64_t len) {
  dev.asked.push_back(len);
  std::int64_t n = len;
  if (dev.next < dev.plan.size()) {
    planned_result p = dev.plan[dev.next++];
    if (p.result == -1) {
      errno = p.error;
      return -1;
    }
    n = p.result < len ? p.result : len;
  }
  if (n > static_cast<std::int64_t>(dev.input.size()))
    n = static_cast<std::int64_t>(dev.input.size());
  std::memcpy(buf, dev.input.data(), static_cast<std::size_t>(n));
  dev.input.erase(0, static_cast<std::size_t>(n));
  return n;
}

std::string pattern(std::size_t n, int seed = 0) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; i++)
    s[i] = static_cast<char>(i * 7 + seed);
  return s;
}

const unsigned char* bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
std::int64_t len(const std::string& s) {
  return static_cast<std::int64_t>(s.size());
}

class Stream : public ::testing::Test {
 protected:
  void SetUp() override { dev = fake_device{}; }
  stream out(std::int64_t capacity) {
    buf_.assign(static_cast<std::size_t>(capacity), 0);
    stream s;
    stream_init(&s, fake_write, 9, buf_.data(), capacity);
    return s;
  }
  stream in(std::int64_t capacity, const std::string& input) {
    dev.input = input;
    buf_.assign(static_cast<std::size_t>(capacity), 0);
    stream s;
    stream_init(&s, fake_read, 9, buf_.data(), capacity);
    return s;
  }
  std::vector<unsigned char> buf_;
};

TEST_F(Stream, PutWritesOnlyWhatDoesNotFit) {
  struct {
    std::int64_t capacity, held, put;
    std::vector<std::int64_t> writes;
    std::int64_t left;
  } cases[] = {
      {256, 0, 256, {}, 256},                // an exact fit waits
      {256, 0, 300, {300}, 0},               // direct, buffer left empty
      {256, 0, 8192 + 300, {8192, 300}, 0},  // chunks of 8192
      {256, 0, 2 * 8192 + 100, {8192, 8192}, 100},
      {8192, 0, 2 * 8192 + 100, {8192, 8192}, 100},
      {256, 200, 300, {200, 300}, 0},  // flush first, then direct
      {256, 200, 56, {}, 256},
      {256, 200, 57, {200}, 57},
  };
  for (const auto& c : cases) {
    SetUp();
    stream s = out(c.capacity);
    std::string held = pattern(static_cast<std::size_t>(c.held), 1);
    std::string put = pattern(static_cast<std::size_t>(c.put), 2);
    ASSERT_EQ(stream_put(&s, bytes(held), len(held)), 0);
    ASSERT_EQ(stream_put(&s, bytes(put), len(put)), 0);
    EXPECT_EQ(dev.asked, c.writes)
        << c.capacity << "/" << c.held << "/" << c.put;
    EXPECT_EQ(s.pos, c.left);
    ASSERT_EQ(stream_flush(&s), 0);
    EXPECT_EQ(dev.written, held + put);
  }
}

TEST_F(Stream, PutAlignWritesOnlyWholeBuffers) {
  for (std::int64_t total : {1, 8191, 8192, 8193, 3 * 8192, 3 * 8192 + 17}) {
    SetUp();
    stream s = out(8192);
    std::string data = pattern(static_cast<std::size_t>(total));
    // In uneven pieces, as records and slots arrive.
    for (std::int64_t at = 0, piece = 1; at < total;
         at += piece, piece += 777) {
      std::int64_t n = std::min(piece, total - at);
      ASSERT_EQ(stream_put_align(&s, bytes(data) + at, n), 0);
    }
    for (std::int64_t w : dev.asked)
      EXPECT_EQ(w, 8192);
    EXPECT_EQ(s.pos,
              total - 8192 * static_cast<std::int64_t>(dev.asked.size()));
    EXPECT_GT(s.pos, 0);  // a full final buffer waits for the flush too
    ASSERT_EQ(stream_flush(&s), 0);
    EXPECT_EQ(dev.written, data);
  }
  // The example of a 256-byte stream holding 200 bytes, 300 more.
  SetUp();
  stream s = out(256);
  std::string a = pattern(200), b = pattern(300, 5);
  ASSERT_EQ(stream_put(&s, bytes(a), 200), 0);
  ASSERT_EQ(stream_put_align(&s, bytes(b), 300), 0);
  EXPECT_EQ(dev.asked, (std::vector<std::int64_t>{256}));
  EXPECT_EQ(s.pos, 244);
}

TEST_F(Stream, FlushAndPutflush) {
  stream s = out(256);
  ASSERT_EQ(stream_flush(&s), 0);
  EXPECT_TRUE(dev.asked.empty());
  ASSERT_EQ(stream_puts(&s, "abc"), 0);
  ASSERT_EQ(stream_putflush(&s, bytes(""), 0), 0);
  EXPECT_EQ(dev.asked, (std::vector<std::int64_t>{3}));
  std::string big = pattern(1000);
  ASSERT_EQ(stream_putsflush(&s, "xy"), 0);
  ASSERT_EQ(stream_putflush(&s, bytes(big), len(big)), 0);
  EXPECT_EQ(dev.asked, (std::vector<std::int64_t>{3, 2, 1000}));
  EXPECT_EQ(dev.written, "abcxy" + big);
}

TEST_F(Stream, CompleteWritesRetryInterruptsAndContinueShortWrites) {
  stream s = out(256);
  dev.plan = {{-1, EINTR}, {10, 0}, {-1, EINTR}, {1, 0}};
  std::string data = pattern(300);
  ASSERT_EQ(stream_put(&s, bytes(data), 300), 0);
  EXPECT_EQ(dev.asked, (std::vector<std::int64_t>{300, 300, 290, 290, 289}));
  EXPECT_EQ(dev.written, data);
}

TEST_F(Stream, FailedWritesLeaveTheStreamEmpty) {
  stream s = out(256);
  ASSERT_EQ(stream_puts(&s, "lost"), 0);
  dev.plan = {{-1, ENOSPC}};
  errno = 0;
  EXPECT_EQ(stream_flush(&s), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(s.pos, 0);
  ASSERT_EQ(stream_puts(&s, "next"), 0);
  EXPECT_EQ(std::memcmp(buf_.data(), "next", 4), 0);
  // A write that moves nothing would otherwise be repeated forever.
  dev.plan.push_back({0, 0});
  EXPECT_EQ(stream_flush(&s), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(s.pos, 0);
  // A failure in the middle of a direct put.
  dev.plan.push_back({100, 0});
  dev.plan.push_back({-1, EPIPE});
  std::string data = pattern(9000);
  EXPECT_EQ(stream_put(&s, bytes(data), len(data)), -1);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(s.pos, 0);
}

TEST_F(Stream, GetNeverMixesBufferedBytesWithAFreshRead) {
  std::string input = pattern(20000);
  stream s = in(8192, input);
  unsigned char dst[20000];
  // A short refill: 5 bytes land at the end of the buffer.
  dev.plan = {{5, 0}};
  ASSERT_EQ(stream_get(&s, dst, 3), 3);
  EXPECT_EQ(dev.asked, (std::vector<std::int64_t>{8192}));
  EXPECT_EQ(s.size, 8192 - 2);
  EXPECT_EQ(s.pos, 2);
  EXPECT_EQ(std::memcmp(buf_.data() + 8187, input.data(), 5), 0);
  // Asking for more than is buffered returns only the buffered bytes.
  ASSERT_EQ(stream_get(&s, dst, 100), 2);
  EXPECT_EQ(dev.asked.size(), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(dst), 2), input.substr(3, 2));
  // Empty buffer, len >= capacity: straight into dst.
  ASSERT_EQ(stream_get(&s, dst, 8192), 8192);
  EXPECT_EQ(dev.asked.back(), 8192);
  EXPECT_EQ(s.pos, 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(dst), 8192),
            input.substr(5, 8192));
  // One less than the capacity refills the buffer instead.
  ASSERT_EQ(stream_get(&s, dst, 8191), 8191);
  EXPECT_EQ(s.pos, 1);
  EXPECT_EQ(dev.asked.back(), 8192);
}

TEST_F(Stream, EndOfInputAndFailuresLeaveTheStreamEmpty) {
  stream s = in(256, "ab");
  unsigned char dst[4];
  dev.plan = {{-1, EINTR}, {-1, EINTR}};
  ASSERT_EQ(stream_feed(&s), 2);
  EXPECT_EQ(dev.asked.size(), 3u);
  EXPECT_EQ(stream_feed(&s), 2);  // buffered: nothing read
  EXPECT_EQ(dev.asked.size(), 3u);
  stream_seek(&s, 2);
  EXPECT_EQ(stream_get(&s, dst, 1), 0);
  EXPECT_EQ(stream_get(&s, dst, 1), 0);  // every call reads again
  EXPECT_EQ(dev.asked.size(), 5u);
  EXPECT_EQ(s.pos, 0);
  EXPECT_EQ(s.size, 256);
  dev.plan.push_back({-1, EIO});
  errno = 0;
  EXPECT_EQ(stream_get(&s, dst, 1), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(s.size, 256);
}

TEST(StreamOps, CallsAreClampedTo16MiB) {
  std::vector<unsigned char> big(static_cast<std::size_t>(stream_max_call));
  int fd = open("/dev/zero", O_RDONLY);
  ASSERT_NE(fd, -1);
  EXPECT_EQ(read_op(fd, big.data(), std::int64_t{1} << 40), stream_max_call);
  close(fd);
  fd = open("/dev/null", O_WRONLY);
  EXPECT_EQ(write_op(fd, big.data(), std::int64_t{1} << 40), stream_max_call);
  close(fd);
}

// stdin_read_op flushes stream_out before it reads, and reads nothing when
// that flush fails.
class StdinRead : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = *stream_out;
    dev = fake_device{};
    stream_out->op = fake_write;
  }
  void TearDown() override { *stream_out = saved_; }
  stream saved_;
};

TEST_F(StdinRead, FlushesStandardOutputFirst) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(write(p[1], "in", 2), 2);
  ASSERT_EQ(stream_puts(stream_out, "prompt"), 0);
  unsigned char buf[8];
  EXPECT_EQ(stdin_read_op(p[0], buf, 8), 2);
  EXPECT_EQ(dev.written, "prompt");
  ASSERT_EQ(stream_puts(stream_out, "more"), 0);
  dev.plan = {{-1, EPIPE}};
  errno = 0;
  EXPECT_EQ(stdin_read_op(p[0], buf, 8), -1);
  EXPECT_EQ(errno, EPIPE);
  // Nothing was read: the byte is still in the pipe.
  ASSERT_EQ(write(p[1], "z", 1), 1);
  EXPECT_EQ(read(p[0], buf, 8), 1);
  close(p[0]);
  close(p[1]);
}

// Copies onto their own source: the allowed overlap moves the bytes whole;
// the other one behaves as copying one byte at a time does, repeating.
TEST(Bytes, OverlappingCopiesGoByteByByte) {
  std::string a = "abcdefghij";
  auto* p = reinterpret_cast<unsigned char*>(a.data());
  copy_forward(p, 6, p + 2);
  EXPECT_EQ(a, "cdefghghij");
  a = "abcdefghij";
  copy_forward(p + 2, 6, p);
  EXPECT_EQ(a, "ababababij");
  a = "abcdefghij";
  copy_backward(p + 2, 6, p);
  EXPECT_EQ(a, "ababcdefij");
  a = "abcdefghij";
  copy_backward(p, 6, p + 2);
  EXPECT_EQ(a, "ghghghghij");
}

}  // namespace
