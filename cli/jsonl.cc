// JSON lines: one object a line, {"key": "...", "data": "..."}. Lines are
// parsed by simdjson's DOM parser, which picks its fastest implementation
// for the processor at run time and validates the whole line, UTF-8
// included; a line that it refuses is parsed again by nlohmann-json, whose
// parser says where the error lies and what it expected there. Records are
// written through nlohmann-json's serializer.

#include <simdjson.h>

#include <nlohmann/json.hpp>
#include <string>

#include "cli/base64.h"
#include "cli/fail.h"
#include "cli/formats.h"
#include "cli/io.h"

namespace qef64::cli {
namespace {

static_assert(input_padding >= simdjson::SIMDJSON_PADDING);

// Finds the first syntax error of a line: every event is accepted, and the
// error's position and explanation are kept.
struct error_finder : nlohmann::json_sax<nlohmann::json> {
  bool found = false;
  // Characters read, up to the byte at which the parser gave up: the
  // offending byte, or the last of the offending token.
  std::size_t position = 0;
  std::string what;

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t at, const std::string&,
                   const nlohmann::detail::exception& e) override {
    found = true;
    position = at;
    what = e.what();
    return false;
  }
};

bool blank(std::string_view line) {
  for (char c : line) {
    if (c != ' ' && c != '\t' && c != '\r') return false;
  }
  return true;
}

[[noreturn]] void syntax_error(const input* in, std::uint64_t at,
                               std::string_view line,
                               simdjson::error_code code) {
  if (blank(line))
    fail(input_place(in->name, in->line, at) +
         "expected a JSON object, found an empty line");
  error_finder finder;
  (void)nlohmann::json::sax_parse(line.begin(), line.end(), &finder);
  if (!finder.found)
    fail(input_place(in->name, in->line, at) +
         "expected JSON: " + simdjson::error_message(code));
  std::size_t offset = finder.position > 0 ? finder.position - 1 : 0;
  if (offset > line.size()) offset = line.size();
  // "[json.exception.parse_error.101] parse error at line 1, column 7:
  // syntax error while parsing ...": the part after the column.
  std::string why = finder.what;
  std::size_t column = why.find("column ");
  std::size_t colon =
      column == std::string::npos ? column : why.find(": ", column);
  if (colon != std::string::npos) why = why.substr(colon + 2);
  // "; last read: '...'" quotes the line's bytes, which need not be text:
  // it goes, and what follows it ("; expected ...") stays.
  std::size_t quoted = why.find("; last read: '");
  if (quoted != std::string::npos) {
    std::size_t expected = why.rfind("'; expected ");
    why = why.substr(0, quoted) +
          (expected != std::string::npos && expected >= quoted + 13
               ? why.substr(expected + 1)
               : "");
  }
  fail(input_place(in->name, in->line, at + offset) + "expected JSON: " + why);
}

const char* type_name(simdjson::dom::element_type t) {
  switch (t) {
    case simdjson::dom::element_type::ARRAY:
      return "an array";
    case simdjson::dom::element_type::OBJECT:
      return "an object";
    case simdjson::dom::element_type::STRING:
      return "a string";
    case simdjson::dom::element_type::BOOL:
      return "true or false";
    case simdjson::dom::element_type::NULL_VALUE:
      return "null";
    default:
      return "a number";
  }
}

// The string of member name in obj, exactly once; fails at the line.
std::string_view member(const input* in, std::uint64_t at,
                        simdjson::dom::object obj, std::string_view name) {
  std::string_view value;
  int seen = 0;
  for (simdjson::dom::key_value_pair m : obj) {
    if (m.key != name) continue;
    if (seen++ > 0)
      fail(input_place(in->name, in->line, at) + "expected one member \"" +
           std::string(name) + "\", found two");
    if (m.value.get_string().get(value) != simdjson::SUCCESS)
      fail(input_place(in->name, in->line, at) + "expected a string for \"" +
           std::string(name) + "\", found " + type_name(m.value.type()));
  }
  if (seen == 0)
    fail(input_place(in->name, in->line, at) +
         "expected an object with the members \"key\" and \"data\", found "
         "no \"" +
         std::string(name) + "\"");
  return value;
}

void decode_member(const input* in, std::uint64_t at, std::string_view text,
                   const char* name, buffer* out) {
  if (base64_check(text) >= 0)
    fail(input_place(in->name, in->line, at) + "expected " + base64_rule +
         " in \"" + name + "\"");
  base64_decode(text, out);
}

void put_json_string(const unsigned char* p, std::size_t n) {
  nlohmann::json s = std::string(reinterpret_cast<const char*>(p), n);
  output_put(s.dump());
}

}  // namespace

void read_jsonl(input* in, const read_options& o, const record_sink& sink) {
  simdjson::dom::parser parser;
  buffer key = {}, data = {};
  std::string_view line;
  bool ended;
  while (input_line(in, '\n', &line, &ended)) {
    std::uint64_t at =
        input_offset(in, reinterpret_cast<const unsigned char*>(line.data()));
    simdjson::dom::element doc;
    // The input buffer has input_padding readable bytes after every line.
    simdjson::error_code code =
        parser.parse(line.data(), line.size(), false).get(doc);
    if (code != simdjson::SUCCESS) syntax_error(in, at, line, code);
    simdjson::dom::object obj;
    if (doc.get_object().get(obj) != simdjson::SUCCESS)
      fail(input_place(in->name, in->line, at) +
           "expected a JSON object {\"key\": ..., \"data\": ...}, found " +
           type_name(doc.type()));
    std::string_view k = member(in, at, obj, "key");
    std::string_view d = member(in, at, obj, "data");
    if (o.base64) {
      decode_member(in, at, k, "key", &key);
      decode_member(in, at, d, "data", &data);
      sink.add(sink.context, {key.data, key.len, data.data, data.len});
    } else {
      sink.add(sink.context,
               {reinterpret_cast<const unsigned char*>(k.data()), k.size(),
                reinterpret_cast<const unsigned char*>(d.data()), d.size()});
    }
  }
  buffer_free(&key);
  buffer_free(&data);
}

const char* write_jsonl(const record& r, bool base64, buffer* scratch) {
  const unsigned char* key = r.key;
  std::size_t key_len = r.key_len;
  const unsigned char* data = r.data;
  std::size_t data_len = r.data_len;
  if (base64) {
    scratch->len = 0;
    base64_encode(r.key, r.key_len, scratch);
    key_len = scratch->len;
    base64_encode(r.data, r.data_len, scratch);
    data_len = scratch->len - key_len;
    key = scratch->data;
    data = scratch->data + key_len;
  } else {
    // The serializer stops the process on bytes that are not UTF-8: they
    // are refused here first.
    if (!simdjson::validate_utf8(reinterpret_cast<const char*>(r.key),
                                 r.key_len))
      return "has a key that is not valid UTF-8 (dump it with --base64)";
    if (!simdjson::validate_utf8(reinterpret_cast<const char*>(r.data),
                                 r.data_len))
      return "has data that is not valid UTF-8 (dump it with --base64)";
  }
  output_put("{\"key\":", 7);
  put_json_string(key, key_len);
  output_put(",\"data\":", 8);
  put_json_string(data, data_len);
  output_put("}\n", 2);
  return nullptr;
}

}  // namespace qef64::cli
