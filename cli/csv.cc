// CSV as RFC 4180 has it, through libcsv in strict mode: a field is bytes
// up to a comma or a line end, or a quoted field that holds anything, a
// quote doubled. Blanks are bytes of the field like any other. Records end
// in LF, CR LF or CR; a line with nothing on it is no record.

#include <csv.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "cli/base64.h"
#include "cli/fail.h"
#include "cli/formats.h"
#include "cli/io.h"

namespace qef64::cli {
namespace {

int no_space(unsigned char) {
  return 0;
}

// What the callbacks share. libcsv calls them from inside csv_parse, once a
// field or a record has ended: the record's place is the line that was
// being fed when it began.
struct csv_state {
  input* in;
  const read_options* options;
  const record_sink* sink;
  buffer fields[2];    // the key and the data, as read
  std::size_t count;   // fields of the record so far
  bool skip;           // the header record is still to come
  bool between;        // no record begun: the next line fed begins one
  std::uint64_t line;  // where the record began
  std::uint64_t offset;
  buffer decoded[2];
};

void on_field(void* bytes, std::size_t len, void* context) {
  auto* s = static_cast<csv_state*>(context);
  if (s->count < 2) {
    s->fields[s->count].len = 0;
    buffer_append(&s->fields[s->count], bytes, len);
  }
  s->count++;
}

[[noreturn]] void record_error(const csv_state* s, const std::string& what) {
  fail(input_place(s->in->name, s->line, s->offset) + what);
}

void on_record(int, void* context) {
  auto* s = static_cast<csv_state*>(context);
  std::size_t count = s->count;
  s->count = 0;
  s->between = true;
  if (s->skip) {
    s->skip = false;
    return;
  }
  if (count != 2)
    record_error(s,
                 "expected a record of two fields, the key and the data, "
                 "found " +
                     std::to_string(count));
  buffer* key = &s->fields[0];
  buffer* data = &s->fields[1];
  if (s->options->base64) {
    const char* names[2] = {"key", "data"};
    for (int i = 0; i < 2; i++) {
      std::string_view text(reinterpret_cast<const char*>(s->fields[i].data),
                            s->fields[i].len);
      if (base64_check(text) >= 0)
        record_error(s, std::string("expected ") + base64_rule + " in the " +
                            names[i] + " field of this record");
      base64_decode(text, &s->decoded[i]);
    }
    key = &s->decoded[0];
    data = &s->decoded[1];
  }
  s->sink->add(s->sink->context, {key->data, key->len, data->data, data->len});
}

[[noreturn]] void parse_error(const csv_state* s, const csv_parser* p,
                              std::uint64_t line, const unsigned char* at) {
  std::string place = input_place(s->in->name, line, input_offset(s->in, at));
  int e = p->status;
  if (e == CSV_ENOMEM || e == CSV_ETOOBIG)
    fail(place + "unable to hold the field: " + error_text(ENOMEM));
  fail(place + (*at == '"'
                    ? "expected no quote inside a field that does not start "
                      "with one (quote the whole field, and double the "
                      "quotes inside it)"
                    : "expected a comma or the end of the line after the "
                      "closing quote"));
}

}  // namespace

void read_csv(input* in, const read_options& o, const record_sink& sink) {
  csv_parser p;
  if (csv_init(&p, CSV_STRICT | CSV_STRICT_FINI) != 0)
    fail("unable to read " + in->name + ": " + error_text(ENOMEM));
  csv_set_space_func(&p, no_space);
  csv_state s = {};
  s.in = in;
  s.options = &o;
  s.sink = &sink;
  s.skip = o.header;
  s.between = true;
  s.line = 1;
  std::string_view line;
  bool ended;
  // One line at a time, so that a record's line and offset are known.
  while (input_line(in, '\n', &line, &ended)) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(line.data());
    // A line of nothing, which is no record, begins none.
    if (s.between && !line.empty() && line != "\r") {
      s.between = false;
      s.line = in->line;
      s.offset = input_offset(in, bytes);
    }
    // The line's LF, which input_line leaves out, is still in the buffer.
    std::size_t len = line.size() + (ended ? 1 : 0);
    std::size_t done = csv_parse(&p, bytes, len, on_field, on_record, &s);
    if (done != len) parse_error(&s, &p, in->line, bytes + done);
  }
  if (csv_fini(&p, on_field, on_record, &s) != 0)
    record_error(&s,
                 "expected a closing quote for the quoted field of this "
                 "record, found the end of the input");
  csv_free(&p);
  for (buffer& b : s.fields)
    buffer_free(&b);
  for (buffer& b : s.decoded)
    buffer_free(&b);
}

const char* write_csv(const record& r, bool base64, buffer* scratch) {
  const unsigned char* key = r.key;
  std::size_t key_len = r.key_len;
  const unsigned char* data = r.data;
  std::size_t data_len = r.data_len;
  scratch->len = 0;
  if (base64) {
    base64_encode(r.key, r.key_len, scratch);
    key_len = scratch->len;
    base64_encode(r.data, r.data_len, scratch);
    data_len = scratch->len - key_len;
  }
  // Every field quoted, every quote doubled: at most 2 n + 2 bytes.
  std::size_t room = 2 * (key_len + data_len) + 7;
  std::size_t start = scratch->len;
  buffer_reserve(scratch, start + room);
  if (base64) {
    key = scratch->data;
    data = scratch->data + key_len;
  }
  unsigned char* out = scratch->data + start;
  std::size_t n = csv_write(out, room, key, key_len);
  out[n++] = ',';
  n += csv_write(out + n, room - n, data, data_len);
  out[n++] = '\r';
  out[n++] = '\n';
  output_put(out, n);
  return nullptr;
}

}  // namespace qef64::cli
