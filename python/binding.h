// What the sources of qef64._qef64, the C half of the package qef64, share:
// the object layouts, the one way a call lets go of the GIL, and the
// conversions between Python arguments and the C interface. The C half is
// what runs per record; python/qef64/ adds the rest (views, context
// managers, pickling, repr).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>

#include "qef64/qef64.h"

namespace qef64::python {

// ---- Holding a handle ---------------------------------------------------
//
// Every field of these objects is read and written with the GIL held. A
// call that lets go of the GIL, or that may run Python code (a key's
// buffer, a generator, the garbage collector) while it uses pointers from a
// handle, holds the object meanwhile. hold(o) gives o's handle, or null with
// ValueError once o is closed or finished, or RuntimeError for a builder
// held by another call. release(o) ends the hold, and unmaps a database
// closed meanwhile when nothing else holds it. So close(), abort() and
// commit() never free a handle that a call is using.

// What no other thread can reach, a path that a handle is made from or a
// handle being closed, is held by a pointer to it: its hold is what it is.
template <class Thing>
Thing* hold(Thing** unshared) {
  return *unshared;
}
template <class Thing>
void release(Thing**) {}

// The result of a call that o refused, with an exception set; never a
// result of the C interface.
constexpr int refused = INT_MIN;

// Runs work(handle) with o held and the GIL released: the one place where
// the binding lets go of the GIL. work uses the handle and what the caller
// took out of Python objects, nothing else. Its result, or refused.
template <class Object, class Work>
int without_gil(Object* o, Work work) {
  auto handle = hold(o);
  if (handle == nullptr) return refused;
  PyThreadState* saved = PyEval_SaveThread();
  int rc = work(handle);
  PyEval_RestoreThread(saved);
  release(o);
  return rc;
}

// ---- Types and module functions -----------------------------------------

// Made at import: 0, or -1 with an exception.
int add_database_types(PyObject* module);  // Database and ShardedDatabase
int add_iterator_type(PyObject* module);
int add_builder_types(PyObject* module);  // Builder and Publication
int add_sharded_functions(PyObject* module);
// The type of spec, added to module as name and kept for the process, or
// null with an exception.
PyTypeObject* add_type(PyObject* module, PyType_Spec* spec, const char* name);

// What a walk over a database gives for each record.
enum class walk { keys, values, items };
// One step of a walk over owner: 0 with the next record, QEF64_NOTFOUND at
// the end, or refused with an exception.
using walk_step = int (*)(PyObject* owner, qef64_iter* it, const void** key,
                          size_t* key_len, const void** data, size_t* data_len);
// A new RecordIterator over owner, which step walks, or null with an
// exception.
PyObject* new_iterator(PyObject* owner, walk_step step, walk what);

// The packed records that partition() makes and Builder.add_packed() takes,
// back to back: key length and data length, 8 bytes each, little-endian,
// then the key and the data. They never leave the package's processes.
constexpr Py_ssize_t packed_head = 16;

// ---- Conversions --------------------------------------------------------

// A bytes-like argument as a pointer and a length. bytes are read in place;
// any other buffer (bytearray, memoryview, mmap, ...) is exported until
// byte_arg_release, so that nothing resizes or closes it meanwhile. With
// hold, bytes are referenced until then too, for a container that may drop
// them.
struct byte_arg {
  const char* data;
  Py_ssize_t len;
  PyObject* held;  // the bytes object, referenced; null when not held
  Py_buffer view;  // view.obj is null when nothing was exported
};

// 0, or -1 with TypeError: str (with a hint to encode it) and anything that
// is not a buffer are refused. what names the argument: "key" or "value".
int byte_arg_get(PyObject* o, byte_arg* a, const char* what, bool hold);
void byte_arg_release(byte_arg* a);  // may run Python: __release_buffer__
// A record's key and value, as byte_arg_get takes them: 0, or -1 with an
// exception and neither taken.
int record_args(PyObject* key, PyObject* value, byte_arg* k, byte_arg* v,
                bool hold);
// The key and the value of a (key, value) pair, held: as record_args. An
// error of the pair's own iteration goes on as it is.
int pair_arg_get(PyObject* item, byte_arg* k, byte_arg* v);

// Raises the OSError for rc, a positive errno value from the C interface:
// OSError picks the subclass (FileNotFoundError for ENOENT, ...). filename
// may be null; text replaces the errno's own. Returns null.
PyObject* raise_result(int rc, PyObject* filename, const char* text = nullptr);

// Raises ValueError for an operation on a closed database. Returns null.
PyObject* raise_closed();

// A new object of type for the handle that open(name, &handle) makes from
// the path-like path_arg, without the GIL: an open may wait on a slow file
// system, and warming reads the file. adopt(object, handle, path) fills in
// the zeroed object. On failure, null with an exception (OSError with the
// path for a result of open) and the handle, if any, given to drop.
template <class Handle, class Open, class Adopt>
PyObject* new_from_path(PyTypeObject* type, PyObject* path_arg, Open open,
                        void (*drop)(Handle*), Adopt adopt) {
  PyObject* path = PyOS_FSPath(path_arg);  // str or bytes, for messages
  PyObject* encoded = nullptr;             // bytes, for the C call
  if (path == nullptr || PyUnicode_FSConverter(path, &encoded) == 0) {
    Py_XDECREF(path);
    return nullptr;
  }
  Handle* handle = nullptr;
  const char* name = PyBytes_AS_STRING(encoded);
  int rc = without_gil(&name, [&](const char* n) { return open(n, &handle); });
  Py_DECREF(encoded);
  PyObject* self = rc == 0 ? type->tp_alloc(type, 0) : nullptr;  // zeroed
  if (self != nullptr) {
    adopt(self, handle, path);
    return self;
  }
  if (rc != 0) raise_result(rc, path);
  drop(handle);
  Py_DECREF(path);
  return nullptr;
}

// A record's bytes (a record lies inside the mapping: its length fits
// Py_ssize_t). Makes nothing the garbage collector tracks: runs no Python.
inline PyObject* bytes_of(const void* data, size_t len) {
  return PyBytes_FromStringAndSize(static_cast<const char*>(data),
                                   static_cast<Py_ssize_t>(len));
}

// A function for a PyMethodDef. The cast through void (*)(void) says that
// the signature differs on purpose: CPython calls it by its flags.
template <typename F>
PyCFunction as_method(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

}  // namespace qef64::python
