// What the sources of the extension module qef64._qef64 share: the object
// layouts, the types made at import, and the conversions between Python
// arguments and the C interface's bytes and results.
//
// Every field of these objects is read and written with the GIL held. A
// call that runs without it (get_many over many keys, add_many, commit)
// first marks its object as in use, under the GIL, and works only on what
// it has taken out of Python objects beforehand.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "qef64/qef64.h"

namespace qef64::python {

// An open database. The mapping goes away only when nothing can reach it:
// close() has been called (or the object dies), no memoryview from view()
// holds it, and no call without the GIL is using it.
struct database_object {
  PyObject ob_base;
  qef64_db* db;             // null once unmapped
  PyObject* path;           // as given to open, for messages and pickling
  Py_ssize_t exports;       // buffers of view() not yet released
  Py_ssize_t in_flight;     // calls using db without the GIL
  bool closed;              // close() was called: every operation refuses
  const void* export_data;  // the record view() is turning into a buffer
  Py_ssize_t export_len;
  PyObject* weakrefs;
};

// A database being built. b is null once committed or aborted.
struct builder_object {
  PyObject ob_base;
  qef64_builder* b;
  PyObject* path;
  unsigned long forks;  // forks_made at open: a fork child may not use it
  bool busy;            // a call runs without the GIL; others are refused
  const char* ended;    // "committed", "aborted" or "failed" once b is gone
};

// In each process, the forks that made it, counted by a fork handler: a
// builder opened under another count was inherited from a parent. No
// system call, unlike getpid(2), which add() would otherwise make per
// record.
extern unsigned long forks_made;

extern PyTypeObject* database_type;
extern PyTypeObject* iterator_type;
extern PyTypeObject* records_view_type;
extern PyTypeObject* builder_type;

// Made at import: the types of database.cc and builder.cc. 0, or -1 with an
// exception.
int add_database_types(PyObject* module);
int add_builder_type(PyObject* module);

// Module functions defined beside their types.
PyObject* open_database(PyObject* module, PyObject* path);
PyObject* build_database(PyObject* module, PyObject* const* args,
                         Py_ssize_t nargs);
// get_many_sharded(shards, keys): the first record of each key from the
// shard its shard hash names, one qef64_get_many per shard.
PyObject* get_many_sharded(PyObject* module, PyObject* const* args,
                           Py_ssize_t nargs);

// The packed records that partition() makes and Builder.add_packed() takes,
// back to back: key length and data length, 8 bytes each, little-endian,
// then the key and the data. They never leave the package's processes.
constexpr Py_ssize_t packed_head = 16;

// A bytes-like argument as a pointer and a length. bytes are read in place;
// any other buffer (bytearray, memoryview, mmap, ...) is exported until
// byte_arg_release, so that it cannot be resized or closed under a call that
// runs without the GIL. With hold, a bytes argument is also referenced until
// then, for callers whose container might drop it meanwhile.
struct byte_arg {
  const char* data;
  Py_ssize_t len;
  PyObject* held;  // the bytes object, referenced; null when not held
  Py_buffer view;  // view.obj is null when nothing was exported
};

// 0, or -1 with TypeError: str (with a hint to encode it) and anything that
// is not a buffer are refused. what names the argument: "key" or "value".
int byte_arg_get(PyObject* o, byte_arg* a, const char* what, bool hold);
void byte_arg_release(byte_arg* a);

// The path of a path-like argument as os.fspath gives it (str or bytes, for
// messages) and in the file system's encoding (bytes, for the C calls):
// 0 with both referenced, or -1 with an exception and neither.
int path_arg_get(PyObject* arg, PyObject** path, PyObject** encoded);

// Raises the OSError for rc, a positive errno value from the C interface:
// OSError picks the subclass (FileNotFoundError for ENOENT, ...). filename
// may be null. Returns null, for the caller to return.
PyObject* raise_result(int rc, PyObject* filename);

// Raises ValueError for an operation on a closed database or a finished
// builder. Returns null.
PyObject* raise_closed(const char* what);

}  // namespace qef64::python
