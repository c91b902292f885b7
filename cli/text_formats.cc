// The two formats without a library: the record text framing, and lines of
// tab-separated key and data. Both are read with memchr over large reads.

#include <charconv>
#include <cstring>
#include <string>

#include "cli/base64.h"
#include "cli/fail.h"
#include "cli/formats.h"
#include "cli/io.h"

namespace qef64::cli {
namespace {

constexpr std::uint64_t length_max = (std::uint64_t{1} << 60) - 1;

std::uint64_t count_lines(const unsigned char* p, std::size_t n) {
  std::uint64_t lines = 0;
  const unsigned char* end = p + n;
  while (p < end) {
    const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    if (nl == nullptr) break;
    lines++;
    p = static_cast<const unsigned char*>(nl) + 1;
  }
  return lines;
}

std::string bytes_text(std::uint64_t n) {
  return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

// Fails at buf[at] of the framing's input; line is that of the record's
// start, and the newlines between it and at are counted in.
[[noreturn]] void framing_error(const input* in, std::uint64_t line,
                                std::size_t record_at, std::size_t at,
                                const std::string& expected) {
  line += count_lines(in->buf + record_at, at - record_at);
  fail(input_place(in->name, line, input_offset(in, in->buf + at)) + expected);
}

// The decimal length before stop, from buf[*at]; *at moves past stop.
std::uint64_t framing_length(input* in, std::uint64_t line, std::size_t* at,
                             unsigned char stop, const char* what) {
  std::uint64_t value = 0;
  for (;;) {
    std::size_t start = in->pos;
    if (!input_need(in, *at - in->pos + 1))
      framing_error(in, line, in->pos, in->end,
                    std::string("expected the digits of the ") + what +
                        ", found the end of the input");
    *at -= start - in->pos;  // the buffer may have moved
    unsigned char c = in->buf[*at];
    if (c == stop) {
      ++*at;
      return value;
    }
    if (c < '0' || c > '9')
      framing_error(in, line, in->pos, *at,
                    std::string("expected a digit or \"") +
                        static_cast<char>(stop) + "\" in the " + what);
    auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (length_max - digit) / 10)
      framing_error(in, line, in->pos, *at,
                    std::string("expected a ") + what +
                        " of at most 1152921504606846975 (2^60 - 1)");
    value = value * 10 + digit;
    ++*at;
  }
}

// Decodes a base64 field at offset `at` of the input, or fails there.
void decode_field(const input* in, std::uint64_t line, std::uint64_t at,
                  std::string_view text, const char* what, buffer* out) {
  std::int64_t bad = base64_check(text);
  if (bad >= 0)
    fail(input_place(in->name, line, at + static_cast<std::uint64_t>(bad)) +
         "expected " + base64_rule + " in the " + what);
  base64_decode(text, out);
}

}  // namespace

bool format_from_name(std::string_view name, format* f) {
  if (name == "framing")
    *f = format::framing;
  else if (name == "tsv")
    *f = format::tsv;
  else if (name == "csv")
    *f = format::csv;
  else if (name == "jsonl")
    *f = format::jsonl;
  else
    return false;
  return true;
}

format format_from_path(std::string_view path) {
  auto ends = [&](std::string_view ext) {
    return path.size() > ext.size() &&
           path.substr(path.size() - ext.size()) == ext;
  };
  if (ends(".tsv") || ends(".tab")) return format::tsv;
  if (ends(".csv")) return format::csv;
  if (ends(".jsonl") || ends(".ndjson")) return format::jsonl;
  return format::framing;
}

void read_framing(input* in, const record_sink& sink) {
  std::uint64_t line = 1;  // of the record being read
  for (;;) {
    if (!input_need(in, 1))
      framing_error(in, line, in->pos, in->pos,
                    "expected \"+\" to start a record, or the empty line "
                    "that ends the input, found the end of the input");
    unsigned char first = in->buf[in->pos];
    if (first == '\n') break;
    if (first != '+')
      framing_error(in, line, in->pos, in->pos,
                    "expected \"+\" to start a record, or the empty line "
                    "that ends the input");
    std::size_t at = in->pos + 1;
    std::uint64_t key_len = framing_length(in, line, &at, ',', "key length");
    std::uint64_t data_len = framing_length(in, line, &at, ':', "data length");
    std::size_t head = at - in->pos;
    // Both lengths are below 2^60: the sum fits.
    std::uint64_t whole = head + key_len + 2 + data_len + 1;
    if (whole > SIZE_MAX - input_padding)
      framing_error(in, line, in->pos, in->pos,
                    "expected a record that fits in memory");
    if (!input_need(in, static_cast<std::size_t>(whole)))
      framing_error(in, line, in->pos, in->end,
                    "expected a key of " + bytes_text(key_len) +
                        ", \"->\" and data of " + bytes_text(data_len) +
                        ", found the end of the input");
    const unsigned char* rec = in->buf + in->pos;
    std::size_t arrow = head + static_cast<std::size_t>(key_len);
    std::size_t newline = arrow + 2 + static_cast<std::size_t>(data_len);
    if (rec[arrow] != '-' || rec[arrow + 1] != '>')
      framing_error(
          in, line, in->pos, in->pos + arrow,
          "expected \"->\" after the key (" + bytes_text(key_len) + ")");
    if (rec[newline] != '\n')
      framing_error(in, line, in->pos, in->pos + newline,
                    rec[newline] == '\r'
                        ? "expected a newline after the data, found a "
                          "carriage return (CR LF is no line end here)"
                        : "expected a newline after the data (" +
                              bytes_text(data_len) + ")");
    sink.add(sink.context,
             {rec + head, static_cast<std::size_t>(key_len), rec + arrow + 2,
              static_cast<std::size_t>(data_len)});
    line += 1 + count_lines(rec + head, newline - head);
    in->pos += newline + 1;
  }
  in->pos++;
  if (input_need(in, 1))
    framing_error(in, line + 1, in->pos, in->pos,
                  "expected the end of the input after the empty line that "
                  "ends the records");
}

void read_tsv(input* in, const read_options& o, const record_sink& sink) {
  std::string_view line;
  bool ended;
  if (o.header) (void)input_line(in, '\n', &line, &ended);
  buffer key = {}, data = {};
  while (input_line(in, '\n', &line, &ended)) {
    std::uint64_t at =
        input_offset(in, reinterpret_cast<const unsigned char*>(line.data()));
    const void* tab = std::memchr(line.data(), '\t', line.size());
    if (tab == nullptr)
      fail(input_place(in->name, in->line, at + line.size()) +
           (line.empty() ? "expected a key and a tab, found an empty line"
                         : "expected a tab after the key, found the end of "
                           "the line"));
    if (!line.empty() && line.back() == '\r')
      fail(input_place(in->name, in->line, at + line.size() - 1) +
           "expected the line to end in LF alone, found a carriage return "
           "before it (for CR LF line ends, remove the CRs first or read the "
           "file with --format=csv)");
    std::size_t k =
        static_cast<std::size_t>(static_cast<const char*>(tab) - line.data());
    std::string_view key_text = line.substr(0, k);
    std::string_view data_text = line.substr(k + 1);
    if (!o.base64) {
      sink.add(sink.context,
               {reinterpret_cast<const unsigned char*>(key_text.data()),
                key_text.size(),
                reinterpret_cast<const unsigned char*>(data_text.data()),
                data_text.size()});
      continue;
    }
    decode_field(in, in->line, at, key_text, "key", &key);
    decode_field(in, in->line, at + k + 1, data_text, "data", &data);
    sink.add(sink.context, {key.data, key.len, data.data, data.len});
  }
  buffer_free(&key);
  buffer_free(&data);
}

const char* write_framing(const record& r) {
  // "+", two numbers of at most 20 digits each, "," and ":".
  char head[64] = {'+'};
  char* p = std::to_chars(head + 1, head + 21, r.key_len).ptr;
  *p = ',';
  p = std::to_chars(p + 1, p + 21, r.data_len).ptr;
  *p++ = ':';
  output_put(head, static_cast<std::size_t>(p - head));
  output_put(r.key, r.key_len);
  output_put("->", 2);
  output_put(r.data, r.data_len);
  output_put("\n", 1);
  return nullptr;
}

const char* write_tsv(const record& r, bool base64, buffer* scratch) {
  if (base64) {
    scratch->len = 0;
    base64_encode(r.key, r.key_len, scratch);
    buffer_append(scratch, "\t", 1);
    base64_encode(r.data, r.data_len, scratch);
    buffer_append(scratch, "\n", 1);
    output_put(scratch->data, scratch->len);
    return nullptr;
  }
  if (std::memchr(r.key, '\t', r.key_len) != nullptr)
    return "has a tab in its key";
  if (std::memchr(r.key, '\n', r.key_len) != nullptr)
    return "has a newline in its key";
  if (std::memchr(r.data, '\n', r.data_len) != nullptr)
    return "has a newline in its data";
  if (r.data_len > 0 && r.data[r.data_len - 1] == '\r')
    return "has data that ends in a carriage return";
  output_put(r.key, r.key_len);
  output_put("\t", 1);
  output_put(r.data, r.data_len);
  output_put("\n", 1);
  return nullptr;
}

}  // namespace qef64::cli
