#pragma once

// The record formats of the qef64 command: readers for build, writers for
// dump. qef64(1) documents each one.
//   framing  "+klen,dlen:key->data\n" per record, an empty line at the end
//   tsv      key TAB data LF; the key has no tab, neither has a LF
//   csv      RFC 4180: key,data CR LF, fields quoted as needed
//   jsonl    {"key": "...", "data": "..."} LF, UTF-8 strings
// With base64, the fields of tsv, csv and jsonl are base64 of the bytes,
// so that every record fits every format.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cli/buffer.h"

namespace qef64::cli {

struct input;

enum class format { framing, tsv, csv, jsonl };

// false for a name that is none of the four.
[[nodiscard]] bool format_from_name(std::string_view name, format* f);
// The format a file name's extension suggests (.tsv .tab, .csv, .jsonl
// .ndjson), else framing.
format format_from_path(std::string_view path);

struct record {
  const unsigned char* key;
  std::size_t key_len;
  const unsigned char* data;
  std::size_t data_len;
};

// Where the records read go: add is called once per record, in input
// order; the bytes are valid for that call only.
struct record_sink {
  void (*add)(void* context, const record& r);
  void* context;
};

struct read_options {
  bool base64;  // tsv, csv, jsonl: fields are base64
  bool header;  // tsv, csv: the first line (csv: record) is skipped
};

// Each reads the whole input into sink, or fails naming the line and the
// byte offset of the first error and what was expected there.
void read_framing(input* in, const record_sink& sink);
void read_tsv(input* in, const read_options& o, const record_sink& sink);
void read_csv(input* in, const read_options& o, const record_sink& sink);
void read_jsonl(input* in, const read_options& o, const record_sink& sink);

// Each writes one record to standard output: nullptr, or (writing
// nothing) why the format cannot hold this record. scratch is the
// caller's, reused between calls.
const char* write_framing(const record& r);
const char* write_tsv(const record& r, bool base64, buffer* scratch);
const char* write_csv(const record& r, bool base64, buffer* scratch);
const char* write_jsonl(const record& r, bool base64, buffer* scratch);

}  // namespace qef64::cli
