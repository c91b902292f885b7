// The C half of qef64.Database, a read-only mapping of bytes keys to bytes
// records, and its batched lookups.
//
// Lifetime of the mapping. view() hands out memoryviews whose exporter is the
// database itself, and the database counts them (exports), as mmap objects
// count theirs; calls count their holds (in_flight). close() only marks the
// database closed, so that every later operation raises ValueError; the file
// is unmapped by whichever comes last of close(), the release of the last
// view and the end of the last hold. A view therefore outlives close(), and
// close() from one thread cannot unmap a file another thread is reading.

#include <algorithm>
#include <cstdint>

#include "python/binding.h"
#include "structmember.h"

namespace qef64::python {

PyTypeObject* database_type;

namespace {

// get_many looks this many keys or more up without the GIL; for fewer, taking
// the GIL back costs more than their lookups keep other threads waiting.
constexpr Py_ssize_t gil_free_keys = 64;

database_object* as_database(PyObject* o) {
  return reinterpret_cast<database_object*>(o);
}

// Closes a handle without the GIL: qef64_close first stops a background
// warming, which may be waiting for the device, then unmaps.
void close_handle(qef64_db* db) {
  if (db != nullptr)
    (void)without_gil(&db, [](qef64_db* h) { return qef64_close(h), 0; });
}

// The mapping goes when nothing may use it any more.
void unmap_if_unused(database_object* d) {
  if (d->closed && d->exports == 0 && d->in_flight == 0) {
    qef64_db* db = d->db;
    d->db = nullptr;  // before the GIL goes: no other call can reach it
    close_handle(db);
  }
}

// The result of a lookup of the key's first record: make(rc, data, len) of
// what qef64_get returned (0, or QEF64_NOTFOUND). The key is given back
// after make, since giving it back may run code that closes the database.
template <class Make>
PyObject* look_up(database_object* d, PyObject* key, Make make) {
  byte_arg k;
  if (byte_arg_get(key, &k, "key", false) == -1) return nullptr;
  PyObject* result = nullptr;
  const void* data;
  size_t len;
  int rc;
  if (d->closed) {
    raise_closed();
  } else if ((rc = qef64_get(d->db, k.data, static_cast<size_t>(k.len), &data,
                             &len)) > 0) {
    raise_result(rc, d->path);
  } else {
    result = make(rc, data, len);
  }
  byte_arg_release(&k);
  return result;
}

PyObject* database_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* keywords[] = {"path", "flags", nullptr};
  PyObject* path_arg;
  unsigned flags = 0;
  if (PyArg_ParseTupleAndKeywords(args, kwds, "O|I:Database",
                                  const_cast<char**>(keywords), &path_arg,
                                  &flags) == 0)
    return nullptr;
  return new_from_path(
      type, path_arg,
      [flags](const char* name, qef64_db** db) {
        return qef64_open_ex(name, flags, db);
      },
      close_handle,
      [](PyObject* self, qef64_db* db, PyObject* path) {
        database_object* d = as_database(self);
        d->db = db;
        d->path = path;
        d->count = qef64_count(db);
      });
}

void database_dealloc(PyObject* self) {
  database_object* d = as_database(self);
  PyTypeObject* type = Py_TYPE(self);
  if (d->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  // Neither a view nor a call can be left: each holds a reference.
  close_handle(d->db);
  Py_XDECREF(d->path);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* database_subscript(PyObject* self, PyObject* key) {
  return look_up(as_database(self), key,
                 [key](int rc, const void* data, size_t len) -> PyObject* {
                   if (rc == 0) return bytes_of(data, len);
                   // Wrapped in a tuple, as dict does, so that no key is
                   // taken apart.
                   PyObject* args = PyTuple_Pack(1, key);
                   if (args == nullptr) return nullptr;
                   PyErr_SetObject(PyExc_KeyError, args);
                   Py_DECREF(args);
                   return nullptr;
                 });
}

int database_contains(PyObject* self, PyObject* key) {
  PyObject* found = look_up(
      as_database(self), key,
      [](int rc, const void*, size_t) { return PyBool_FromLong(rc == 0); });
  if (found == nullptr) return -1;
  int in = found == Py_True ? 1 : 0;
  Py_DECREF(found);
  return in;
}

PyObject* database_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  // Keyword values follow the positional ones in args.
  if (nargs < 1 || nargs + nkw > 2 ||
      (nkw == 1 && PyUnicode_CompareWithASCIIString(
                       PyTuple_GET_ITEM(kwnames, 0), "default") != 0)) {
    PyErr_SetString(PyExc_TypeError,
                    "get() takes a key and an optional default");
    return nullptr;
  }
  PyObject* fallback = nargs + nkw == 2 ? args[1] : Py_None;
  return look_up(as_database(self), args[0],
                 [fallback](int rc, const void* data, size_t len) {
                   if (rc == 0) return bytes_of(data, len);
                   Py_INCREF(fallback);
                   return fallback;
                 });
}

PyObject* database_get_all(PyObject* self, PyObject* key) {
  database_object* d = as_database(self);
  byte_arg k;
  if (byte_arg_get(key, &k, "key", false) == -1) return nullptr;
  // Held: the list may collect garbage, and with it run any code.
  const qef64_db* db = hold(d);
  PyObject* all = db == nullptr ? nullptr : PyList_New(0);
  qef64_cursor cur = QEF64_CURSOR_INIT;
  while (all != nullptr) {
    const void* data;
    size_t len;
    int rc = qef64_find_next(db, &cur, k.data, static_cast<size_t>(k.len),
                             &data, &len);
    if (rc == QEF64_NOTFOUND) break;
    PyObject* item = rc == 0 ? bytes_of(data, len) : raise_result(rc, d->path);
    if (item == nullptr || PyList_Append(all, item) == -1) Py_CLEAR(all);
    Py_XDECREF(item);
  }
  if (db != nullptr) release(d);
  byte_arg_release(&k);
  return all;
}

// Gives back the chunk's key exports.
void batch_release(lookup_batch* b) {
  for (Py_ssize_t i = 0; b->views != nullptr && i < b->n; i++) {
    if (b->views[i].obj != nullptr) PyBuffer_Release(&b->views[i]);
  }
  b->n = 0;
}

// Fills b with the n keys of a tuple from start on: 0, or -1 with an
// exception and b->n the keys taken.
int batch_fill(lookup_batch* b, PyObject* keys, Py_ssize_t start,
               Py_ssize_t n) {
  for (Py_ssize_t i = 0; i < n; b->n = ++i) {
    PyObject* key = PyTuple_GET_ITEM(keys, start + i);
    if (PyBytes_CheckExact(key)) {  // most keys: taken without a call
      b->keys[i] = PyBytes_AS_STRING(key);
      b->key_lens[i] = static_cast<size_t>(PyBytes_GET_SIZE(key));
      if (b->views != nullptr) b->views[i].obj = nullptr;
      continue;
    }
    if (b->views == nullptr) {
      b->views = static_cast<Py_buffer*>(
          PyMem_Calloc(static_cast<size_t>(b->capacity), sizeof(Py_buffer)));
      if (b->views == nullptr) {
        PyErr_NoMemory();
        return -1;
      }
    }
    byte_arg k;
    if (byte_arg_get(key, &k, "key", false) == -1) return -1;
    b->views[i] = k.view;  // the export moves here
    b->keys[i] = k.data;
    b->key_lens[i] = static_cast<size_t>(k.len);
  }
  return 0;
}

int look_up_one(void* context, const lookup_batch& b, bool unlocked) {
  auto* d = static_cast<database_object*>(context);
  auto work = [&b](const qef64_db* db) {
    return qef64_get_many(db, static_cast<size_t>(b.n), b.keys, b.key_lens,
                          b.data, b.data_lens);
  };
  return unlocked ? without_gil(d, work) : work(d->db);
}

PyObject* database_get_many(PyObject* self, PyObject* keys_arg) {
  database_object* d = as_database(self);
  // A tuple of our own keeps every key alive while the GIL is released,
  // whatever another thread does to the caller's list meanwhile.
  PyObject* keys = PySequence_Tuple(keys_arg);
  if (keys == nullptr) return nullptr;
  PyObject* result = nullptr;
  // Held for the whole call: the records are copied after the lookups.
  if (hold(d) != nullptr) {
    result = look_up_chunks(keys, d->path, look_up_one, d);
    release(d);
  }
  Py_DECREF(keys);
  return result;
}

PyObject* database_view(PyObject* self, PyObject* key) {
  database_object* d = as_database(self);
  // Held: making the memoryview may collect garbage, and with it run any
  // code, before its buffer is counted among the exports.
  if (hold(d) == nullptr) return nullptr;
  PyObject* view =
      look_up(d, key, [self, d](int rc, const void* data, size_t len) {
        if (rc != 0) Py_RETURN_NONE;
        // The memoryview asks database_getbuffer for this record's bytes.
        d->export_data = data;
        d->export_len = static_cast<Py_ssize_t>(len);
        PyObject* made = PyMemoryView_FromObject(self);
        d->export_data = nullptr;
        return made;
      });
  release(d);
  return view;
}

int database_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  database_object* d = as_database(self);
  if (d->export_data == nullptr) {
    view->obj = nullptr;
    PyErr_SetString(PyExc_TypeError,
                    "a Database is not a buffer; view(key) gives a record's "
                    "bytes as a memoryview");
    return -1;
  }
  if (PyBuffer_FillInfo(view, self, const_cast<void*>(d->export_data),
                        d->export_len, 1, flags) == -1)
    return -1;
  d->exports++;
  return 0;
}

void database_releasebuffer(PyObject* self, Py_buffer*) {
  database_object* d = as_database(self);
  d->exports--;
  unmap_if_unused(d);
}

PyObject* database_walk(PyObject* self, PyObject* what) {
  long part = PyLong_AsLong(what);
  if (part == -1 && PyErr_Occurred()) return nullptr;
  if (part < 0 || part > 2) {
    PyErr_SetString(PyExc_ValueError, "_walk() takes 0, 1 or 2");
    return nullptr;
  }
  return new_iterator(as_database(self), static_cast<walk>(part));
}

PyObject* database_replaced(PyObject* self, PyObject*) {
  // A stat of the path: it may wait on the file system.
  int replaced = without_gil(
      as_database(self), [](const qef64_db* db) { return qef64_replaced(db); });
  return replaced == refused ? nullptr : PyBool_FromLong(replaced);
}

PyObject* database_resident(PyObject* self, PyObject*) {
  std::uint64_t tables = 0, records = 0;
  // One mincore(2) pass over the mapping: a millisecond a gigabyte.
  int rc = without_gil(as_database(self), [&](const qef64_db* db) {
    return qef64_resident(db, &tables, &records);
  });
  if (rc == refused) return nullptr;
  if (rc != 0) return raise_result(rc, as_database(self)->path);
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(tables),
                       static_cast<unsigned long long>(records));
}

PyObject* database_close(PyObject* self, PyObject*) {
  database_object* d = as_database(self);
  d->closed = true;
  unmap_if_unused(d);
  Py_RETURN_NONE;
}

PyDoc_STRVAR(get_doc,
             "get($self, key, /, default=None)\n--\n\n"
             "The data of the key's first record, in the order added, as\n"
             "bytes; default when the key has no record.");
PyDoc_STRVAR(get_all_doc,
             "get_all($self, key, /)\n--\n\n"
             "The data of every record of the key, as a list of bytes in the\n"
             "order the records were added; [] when it has none.");
PyDoc_STRVAR(get_many_doc,
             "get_many($self, keys, /)\n--\n\n"
             "The first record of each of keys (any iterable of bytes-like\n"
             "objects), in order: bytes, or None for a key without records.\n"
             "One call; other threads run meanwhile when there are many keys.");
PyDoc_STRVAR(view_doc,
             "view($self, key, /)\n--\n\n"
             "The data of the key's first record as a read-only memoryview\n"
             "into the mapped file, or None. The view stays valid after\n"
             "close(): the file is unmapped with the last view.");
PyDoc_STRVAR(replaced_doc,
             "replaced($self, /)\n--\n\n"
             "True when the path now names another file, or none: opening it\n"
             "again gives the new one. This database keeps its own file.");
PyDoc_STRVAR(close_doc,
             "close($self, /)\n--\n\n"
             "Close the database: every later operation raises ValueError.\n"
             "The file is unmapped once no view() of it and no call in\n"
             "another thread uses it. Closing twice is allowed.");

PyMethodDef database_methods[] = {
    {"get", as_method(database_get), METH_FASTCALL | METH_KEYWORDS, get_doc},
    {"get_all", database_get_all, METH_O, get_all_doc},
    {"get_many", database_get_many, METH_O, get_many_doc},
    {"view", database_view, METH_O, view_doc},
    {"_walk", database_walk, METH_O, nullptr},
    {"replaced", database_replaced, METH_NOARGS, replaced_doc},
    {"_resident", database_resident, METH_NOARGS, nullptr},
    {"close", database_close, METH_NOARGS, close_doc},
    {nullptr, nullptr, 0, nullptr}};

PyMemberDef database_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(database_object, weakrefs),
     READONLY, nullptr},
    {"closed", T_BOOL, offsetof(database_object, closed), READONLY,
     "True once close() has been called."},
    {"_path", T_OBJECT, offsetof(database_object, path), READONLY,
     "The path as given to open."},
    {"_count", T_ULONGLONG, offsetof(database_object, count), READONLY,
     "The number of records, as the header says."},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot database_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(database_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(database_dealloc)},
    {Py_tp_methods, database_methods},
    {Py_tp_members, database_members},
    {Py_mp_subscript, reinterpret_cast<void*>(database_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(database_contains)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(database_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(database_releasebuffer)},
    {0, nullptr}};

PyType_Spec database_type_def = {
    "qef64._qef64.Database", sizeof(database_object), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, database_slots};

}  // namespace

const qef64_db* hold(database_object* d) {
  if (d->closed) {
    raise_closed();
    return nullptr;
  }
  d->in_flight++;
  return d->db;
}

void release(database_object* d) {
  d->in_flight--;
  unmap_if_unused(d);
}

PyObject* look_up_chunks(PyObject* keys, PyObject* path, chunk_lookup look,
                         void* context) {
  Py_ssize_t n = PyTuple_GET_SIZE(keys);
  lookup_batch b{
      0, std::min(n, chunk_keys), nullptr, nullptr, nullptr, nullptr, nullptr};
  static_assert(sizeof(size_t) == sizeof(void*));
  auto** block = static_cast<void**>(
      PyMem_Malloc(4 * static_cast<size_t>(b.capacity) * sizeof(void*)));
  if (block == nullptr) return PyErr_NoMemory();
  b.keys = const_cast<const void**>(block);
  b.key_lens = reinterpret_cast<size_t*>(block + b.capacity);
  b.data = const_cast<const void**>(block + 2 * b.capacity);
  b.data_lens = reinterpret_cast<size_t*>(block + 3 * b.capacity);
  PyObject* result = PyList_New(n);
  for (Py_ssize_t start = 0; result != nullptr && start < n;
       start += chunk_keys) {
    int rc = batch_fill(&b, keys, start, std::min(chunk_keys, n - start));
    if (rc == 0) {
      rc = look(context, b, n >= gil_free_keys);
      if (rc != 0 && rc != refused) raise_result(rc, path);
    }
    if (rc != 0) Py_CLEAR(result);
    for (Py_ssize_t i = 0; result != nullptr && i < b.n; i++) {
      PyObject* item = Py_None;
      if (b.data[i] == nullptr)
        Py_INCREF(item);
      else if ((item = bytes_of(b.data[i], b.data_lens[i])) == nullptr)
        Py_CLEAR(result);
      if (item != nullptr) PyList_SET_ITEM(result, start + i, item);
    }
    batch_release(&b);
  }
  PyMem_Free(b.views);
  PyMem_Free(block);
  return result;
}

int add_database_type(PyObject* module) {
  database_type = add_type(module, &database_type_def, "Database");
  return database_type == nullptr ? -1 : 0;
}

}  // namespace qef64::python
