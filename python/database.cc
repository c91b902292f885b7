// qef64.Database: an open database file as a read-only mapping of bytes
// keys to bytes records, with its iterators and its keys/values/items views.
//
// Lifetime of the mapping. view() hands out memoryviews whose exporter is the
// database itself, and the database counts them (exports), as mmap objects
// count theirs; get_many over many keys counts itself as in flight while it
// runs without the GIL. close() only marks the database closed, so that every
// later operation raises ValueError; the file is unmapped by whichever comes
// last of close(), the release of the last view and the end of the last call
// in flight. A view therefore outlives close(), and close() from one thread
// cannot unmap a file another thread is reading.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "python/binding.h"
#include "structmember.h"

namespace qef64::python {

PyTypeObject* database_type;
PyTypeObject* iterator_type;
PyTypeObject* records_view_type;

namespace {

// get_many looks this many keys or more up without the GIL. Below it, taking
// the GIL back costs more than the lookups would have kept other threads
// waiting.
constexpr Py_ssize_t gil_free_keys = 64;

enum class part { keys, values, items };

// One walk over every record, in file order.
struct iterator_object {
  PyObject ob_base;
  database_object* db;  // referenced
  qef64_iter it;
  part what;
};

// db.keys(), db.values(), db.items(): every record again at each iteration.
struct records_view_object {
  PyObject ob_base;
  database_object* db;  // referenced
  part what;
};

database_object* as_database(PyObject* o) {
  return reinterpret_cast<database_object*>(o);
}

PyObject* raise_database_closed() {
  return raise_closed("closed database");
}

// The mapping goes when nothing may use it any more.
void unmap_if_unused(database_object* d) {
  if (d->closed && d->exports == 0 && d->in_flight == 0 && d->db != nullptr) {
    qef64_close(d->db);
    d->db = nullptr;
  }
}

PyObject* bytes_of(const void* data, size_t len) {
  // A record lies inside the mapping, so its length fits Py_ssize_t.
  return PyBytes_FromStringAndSize(static_cast<const char*>(data),
                                   static_cast<Py_ssize_t>(len));
}

// The key's first record: 1 with *data and *len set, 0 when there is none,
// -1 with an exception. The key is taken before the closed check: taking a
// buffer may run code of the key's type.
int find_first(database_object* d, PyObject* key, const void** data,
               size_t* len) {
  byte_arg k;
  if (byte_arg_get(key, &k, "key", false) == -1) return -1;
  int found = -1;
  if (d->closed) {
    raise_database_closed();
  } else {
    int rc = qef64_get(d->db, k.data, static_cast<size_t>(k.len), data, len);
    if (rc > 0) raise_result(rc, d->path);
    found = rc == 0 ? 1 : (rc == QEF64_NOTFOUND ? 0 : -1);
  }
  byte_arg_release(&k);
  return found;
}

// Does the key hold a record whose data equals value? 1, 0, or -1 with an
// exception.
int holds_record(database_object* d, PyObject* key, PyObject* value) {
  byte_arg k, v;
  if (byte_arg_get(key, &k, "key", false) == -1) return -1;
  if (byte_arg_get(value, &v, "value", false) == -1) {
    byte_arg_release(&k);
    return -1;
  }
  int result = 0;
  if (d->closed) {
    raise_database_closed();
    result = -1;
  }
  qef64_cursor cur = QEF64_CURSOR_INIT;
  while (result == 0) {
    const void* data;
    size_t len;
    int rc = qef64_find_next(d->db, &cur, k.data, static_cast<size_t>(k.len),
                             &data, &len);
    if (rc == QEF64_NOTFOUND) break;
    if (rc > 0) {
      raise_result(rc, d->path);
      result = -1;
    } else if (len == static_cast<size_t>(v.len) &&
               std::memcmp(data, v.data, len) == 0) {
      result = 1;
    }
  }
  byte_arg_release(&v);
  byte_arg_release(&k);
  return result;
}

// ---- The database -------------------------------------------------------

PyObject* open_as(PyTypeObject* type, PyObject* path_arg) {
  PyObject *path, *encoded;
  if (path_arg_get(path_arg, &path, &encoded) == -1) return nullptr;
  const char* name = PyBytes_AS_STRING(encoded);
  qef64_db* db = nullptr;
  int rc;
  // open, fstat and mmap may wait on a slow file system.
  PyThreadState* unlocked = PyEval_SaveThread();
  rc = qef64_open(name, &db);
  PyEval_RestoreThread(unlocked);
  Py_DECREF(encoded);
  if (rc != 0) {
    raise_result(rc, path);
    Py_DECREF(path);
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);  // zeroed
  if (self == nullptr) {
    qef64_close(db);
    Py_DECREF(path);
    return nullptr;
  }
  database_object* d = as_database(self);
  d->db = db;
  d->path = path;
  return self;
}

PyObject* database_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* keywords[] = {"path", nullptr};
  PyObject* path;
  if (PyArg_ParseTupleAndKeywords(args, kwds, "O:Database",
                                  const_cast<char**>(keywords), &path) == 0)
    return nullptr;
  return open_as(type, path);
}

void database_dealloc(PyObject* self) {
  database_object* d = as_database(self);
  PyTypeObject* type = Py_TYPE(self);
  if (d->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  // No view can be left (each holds a reference) and no call in flight.
  if (d->db != nullptr) qef64_close(d->db);
  Py_XDECREF(d->path);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* database_repr(PyObject* self) {
  database_object* d = as_database(self);
  if (d->closed)
    return PyUnicode_FromFormat("<qef64.Database %R closed>", d->path);
  return PyUnicode_FromFormat(
      "<qef64.Database %R records=%llu>", d->path,
      static_cast<unsigned long long>(qef64_count(d->db)));
}

Py_ssize_t database_length(PyObject* self) {
  database_object* d = as_database(self);
  if (d->closed) {
    raise_database_closed();
    return -1;
  }
  // A damaged header can claim more records than len() can say.
  uint64_t n = qef64_count(d->db);
  if (n > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "the header claims too many records");
    return -1;
  }
  return static_cast<Py_ssize_t>(n);
}

PyObject* database_subscript(PyObject* self, PyObject* key) {
  const void* data;
  size_t len;
  int found = find_first(as_database(self), key, &data, &len);
  if (found == 1) return bytes_of(data, len);
  if (found == 0) {
    // Wrapped in a tuple, as dict does, so that no key is taken apart.
    PyObject* args = PyTuple_Pack(1, key);
    if (args == nullptr) return nullptr;
    PyErr_SetObject(PyExc_KeyError, args);
    Py_DECREF(args);
  }
  return nullptr;
}

int database_contains(PyObject* self, PyObject* key) {
  const void* data;
  size_t len;
  return find_first(as_database(self), key, &data, &len);
}

PyObject* database_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  // Keyword values follow the positional ones in args.
  bool by_position = nargs == 2 && nkw == 0;
  bool by_keyword = nargs == 1 && nkw == 1 &&
                    PyUnicode_CompareWithASCIIString(
                        PyTuple_GET_ITEM(kwnames, 0), "default") == 0;
  if (!by_position && !by_keyword && (nargs != 1 || nkw != 0)) {
    PyErr_SetString(PyExc_TypeError,
                    "get() takes a key and an optional default");
    return nullptr;
  }
  PyObject* fallback = by_position || by_keyword ? args[1] : Py_None;
  const void* data;
  size_t len;
  int found = find_first(as_database(self), args[0], &data, &len);
  if (found == 1) return bytes_of(data, len);
  if (found == -1) return nullptr;
  Py_INCREF(fallback);
  return fallback;
}

PyObject* database_get_all(PyObject* self, PyObject* key) {
  database_object* d = as_database(self);
  byte_arg k;
  if (byte_arg_get(key, &k, "key", false) == -1) return nullptr;
  PyObject* all = d->closed ? raise_database_closed() : PyList_New(0);
  qef64_cursor cur = QEF64_CURSOR_INIT;
  while (all != nullptr) {
    const void* data;
    size_t len;
    int rc = qef64_find_next(d->db, &cur, k.data, static_cast<size_t>(k.len),
                             &data, &len);
    if (rc == QEF64_NOTFOUND) break;
    PyObject* item = rc == 0 ? bytes_of(data, len) : raise_result(rc, d->path);
    if (item == nullptr || PyList_Append(all, item) == -1) Py_CLEAR(all);
    Py_XDECREF(item);
  }
  byte_arg_release(&k);
  return all;
}

// Keys are looked up this many at a time: a chunk's records are still in
// the cache when their bytes objects are made, where one call over a
// million keys would have pushed the first records out long before.
constexpr Py_ssize_t chunk_keys = 1024;

// The arrays of one chunk's lookup, in one allocation; views are the
// exports of the chunk's keys that are not bytes, made only when there is
// one.
struct lookup_batch {
  Py_ssize_t n;  // keys in the chunk
  Py_ssize_t capacity;
  const void** keys;
  size_t* key_lens;
  const void** data;
  size_t* data_lens;
  Py_buffer* views;
};

// 0, or -1 with an exception.
int batch_open(lookup_batch* b, Py_ssize_t capacity) {
  *b = lookup_batch{0, capacity, nullptr, nullptr, nullptr, nullptr, nullptr};
  static_assert(sizeof(size_t) == sizeof(void*));
  void** block = static_cast<void**>(
      PyMem_Malloc(4 * static_cast<size_t>(capacity) * sizeof(void*)));
  if (block == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  b->keys = const_cast<const void**>(block);
  b->key_lens = reinterpret_cast<size_t*>(block + capacity);
  b->data = const_cast<const void**>(block + 2 * capacity);
  b->data_lens = reinterpret_cast<size_t*>(block + 3 * capacity);
  return 0;
}

// Gives back the chunk's key exports.
void batch_release(lookup_batch* b) {
  if (b->views == nullptr) return;
  for (Py_ssize_t i = 0; i < b->n; i++) {
    if (b->views[i].obj != nullptr) PyBuffer_Release(&b->views[i]);
  }
}

void batch_free(lookup_batch* b) {
  batch_release(b);
  PyMem_Free(b->views);
  PyMem_Free(b->keys);
}

// Fills b with the n keys of a tuple from start on: 0, or -1 with an
// exception.
int batch_fill(lookup_batch* b, PyObject* keys, Py_ssize_t start,
               Py_ssize_t n) {
  b->n = 0;
  for (Py_ssize_t i = 0; i < n; i++) {
    PyObject* key = PyTuple_GET_ITEM(keys, start + i);
    if (PyBytes_CheckExact(key)) {
      if (b->views != nullptr) b->views[i].obj = nullptr;
      b->keys[i] = PyBytes_AS_STRING(key);
      b->key_lens[i] = static_cast<size_t>(PyBytes_GET_SIZE(key));
      b->n = i + 1;
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
    b->views[i] = k.view;  // the export moves into the batch
    b->keys[i] = k.data;
    b->key_lens[i] = static_cast<size_t>(k.len);
    b->n = i + 1;
  }
  return 0;
}

// The list of lookup's results for a tuple of keys, a chunk at a time: the
// first record of each key as bytes, or None. lookup(const lookup_batch&)
// looks a chunk up, with the GIL released when there are many keys, and
// returns what qef64_get_many returns; a failure raises with path.
template <class Lookup>
PyObject* look_up_chunks(PyObject* keys, PyObject* path, Lookup lookup) {
  Py_ssize_t n = PyTuple_GET_SIZE(keys);
  lookup_batch b;
  if (batch_open(&b, std::min(n, chunk_keys)) == -1) return nullptr;
  PyObject* result = PyList_New(n);
  for (Py_ssize_t start = 0; result != nullptr && start < n; start += b.n) {
    batch_release(&b);
    if (batch_fill(&b, keys, start, std::min(chunk_keys, n - start)) == -1) {
      Py_CLEAR(result);
      break;
    }
    int rc;
    if (n >= gil_free_keys) {
      PyThreadState* unlocked = PyEval_SaveThread();
      rc = lookup(b);
      PyEval_RestoreThread(unlocked);
    } else {
      rc = lookup(b);
    }
    if (rc != 0) {
      raise_result(rc, path);
      Py_CLEAR(result);
      break;
    }
    for (Py_ssize_t i = 0; i < b.n; i++) {
      PyObject* item = Py_None;
      if (b.data[i] == nullptr) {
        Py_INCREF(item);
      } else if ((item = bytes_of(b.data[i], b.data_lens[i])) == nullptr) {
        Py_CLEAR(result);
        break;
      }
      PyList_SET_ITEM(result, start + i, item);
    }
  }
  batch_free(&b);
  return result;
}

PyObject* database_get_many(PyObject* self, PyObject* keys_arg) {
  database_object* d = as_database(self);
  // A tuple of our own keeps every key alive while the GIL is released,
  // whatever another thread does to the caller's list meanwhile.
  PyObject* keys = PySequence_Tuple(keys_arg);
  if (keys == nullptr) return nullptr;
  PyObject* result = nullptr;
  if (d->closed) {
    raise_database_closed();
  } else {
    d->in_flight++;
    const qef64_db* db = d->db;  // stays while in flight, whatever close() does
    result = look_up_chunks(keys, d->path, [db](const lookup_batch& b) {
      return qef64_get_many(db, static_cast<size_t>(b.n), b.keys, b.key_lens,
                            b.data, b.data_lens);
    });
    // The data pointers are spent: close() may unmap now.
    d->in_flight--;
    unmap_if_unused(d);
  }
  Py_DECREF(keys);
  return result;
}

// The shards of a sharded set, for get_many_sharded: 0 with each one's
// database and in-flight count taken, or -1 with an exception and none.
int take_shards(PyObject* shards, database_object*** out) {
  Py_ssize_t m = PyTuple_GET_SIZE(shards);
  auto** dbs = static_cast<database_object**>(
      PyMem_Malloc(static_cast<size_t>(m) * sizeof(database_object*)));
  if (dbs == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  for (Py_ssize_t s = 0; s < m; s++) {
    PyObject* o = PyTuple_GET_ITEM(shards, s);
    if (!PyObject_TypeCheck(o, database_type)) {
      PyErr_Format(PyExc_TypeError, "shards must be Databases, not '%.100s'",
                   Py_TYPE(o)->tp_name);
    } else if (as_database(o)->closed) {
      raise_database_closed();
    } else {
      dbs[s] = as_database(o);
      continue;
    }
    PyMem_Free(dbs);
    return -1;
  }
  for (Py_ssize_t s = 0; s < m; s++)
    dbs[s]->in_flight++;
  *out = dbs;
  return 0;
}

void give_shards(database_object** dbs, Py_ssize_t m) {
  for (Py_ssize_t s = 0; s < m; s++) {
    dbs[s]->in_flight--;
    unmap_if_unused(dbs[s]);
  }
  PyMem_Free(dbs);
}

PyObject* database_view(PyObject* self, PyObject* key) {
  database_object* d = as_database(self);
  const void* data;
  size_t len;
  int found = find_first(d, key, &data, &len);
  if (found != 1) {
    if (found == -1) return nullptr;
    Py_RETURN_NONE;
  }
  // The memoryview asks database_getbuffer for this record's bytes.
  d->export_data = data;
  d->export_len = static_cast<Py_ssize_t>(len);
  PyObject* view = PyMemoryView_FromObject(self);
  d->export_data = nullptr;
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

PyObject* new_records(PyTypeObject* type, database_object* d, part what) {
  if (d->closed) return raise_database_closed();
  PyObject* o = type->tp_alloc(type, 0);
  if (o == nullptr) return nullptr;
  Py_INCREF(d);
  if (type == iterator_type) {
    auto* it = reinterpret_cast<iterator_object*>(o);
    it->db = d;
    it->it = QEF64_ITER_INIT;
    it->what = what;
  } else {
    auto* v = reinterpret_cast<records_view_object*>(o);
    v->db = d;
    v->what = what;
  }
  return o;
}

PyObject* database_iter(PyObject* self) {
  return new_records(iterator_type, as_database(self), part::keys);
}

PyObject* database_keys(PyObject* self, PyObject*) {
  return new_records(records_view_type, as_database(self), part::keys);
}

PyObject* database_values(PyObject* self, PyObject*) {
  return new_records(records_view_type, as_database(self), part::values);
}

PyObject* database_items(PyObject* self, PyObject*) {
  return new_records(records_view_type, as_database(self), part::items);
}

PyObject* database_replaced(PyObject* self, PyObject*) {
  database_object* d = as_database(self);
  if (d->closed) return raise_database_closed();
  int replaced;
  // A stat of the path: it may wait on the file system.
  PyThreadState* unlocked = PyEval_SaveThread();
  replaced = qef64_replaced(d->db);
  PyEval_RestoreThread(unlocked);
  return PyBool_FromLong(replaced);
}

PyObject* database_close(PyObject* self, PyObject*) {
  database_object* d = as_database(self);
  d->closed = true;
  unmap_if_unused(d);
  Py_RETURN_NONE;
}

PyObject* database_enter(PyObject* self, PyObject*) {
  if (as_database(self)->closed) return raise_database_closed();
  Py_INCREF(self);
  return self;
}

PyObject* database_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
  return database_close(self, nullptr);
}

PyObject* database_reduce(PyObject* self, PyObject*) {
  database_object* d = as_database(self);
  if (d->closed) return raise_database_closed();
  return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)),
                       d->path);
}

PyObject* database_closed(PyObject* self, void*) {
  return PyBool_FromLong(as_database(self)->closed ? 1 : 0);
}

template <typename F>
PyCFunction as_method(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
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
             "objects) as a list with one entry per key, in order: bytes, or\n"
             "None for a key without records. One call into the library;\n"
             "other threads run meanwhile when there are many keys.");
PyDoc_STRVAR(view_doc,
             "view($self, key, /)\n--\n\n"
             "The data of the key's first record as a read-only memoryview\n"
             "into the mapped file, without a copy; None when the key has no\n"
             "record. The view stays valid after close(): the file is\n"
             "unmapped when the database is closed and its last view is\n"
             "released.");
PyDoc_STRVAR(keys_doc,
             "keys($self, /)\n--\n\n"
             "A view of the key of every record, in file order (the order\n"
             "added): a key added twice comes twice. len() of it is len() of\n"
             "the database.");
PyDoc_STRVAR(values_doc,
             "values($self, /)\n--\n\n"
             "A view of the data of every record, in file order.");
PyDoc_STRVAR(items_doc,
             "items($self, /)\n--\n\n"
             "A view of every record as a (key, data) pair of bytes, in file\n"
             "order: a key added twice gives two pairs.");
PyDoc_STRVAR(replaced_doc,
             "replaced($self, /)\n--\n\n"
             "True when the path the database was opened by now names another\n"
             "file, or none: it was rebuilt, and opening it again gives the\n"
             "new one. This database keeps reading the file it opened.");
PyDoc_STRVAR(close_doc,
             "close($self, /)\n--\n\n"
             "Close the database: every later operation raises ValueError.\n"
             "The file is unmapped once no view() of it is left and no call\n"
             "in another thread is still using it. Closing twice is allowed.");
PyDoc_STRVAR(enter_doc, "__enter__($self, /)\n--\n\nReturn the database.");
PyDoc_STRVAR(exit_doc,
             "__exit__($self, *exc_info, /)\n--\n\nClose the database.");
PyDoc_STRVAR(reduce_doc,
             "__reduce__($self, /)\n--\n\n"
             "Pickle by path: unpickling opens the path again, in whatever\n"
             "process, and sees the file it names then.");
PyDoc_STRVAR(closed_doc, "True once close() has been called.");

PyMethodDef database_methods[] = {
    {"get", as_method(database_get), METH_FASTCALL | METH_KEYWORDS, get_doc},
    {"get_all", database_get_all, METH_O, get_all_doc},
    {"get_many", database_get_many, METH_O, get_many_doc},
    {"view", database_view, METH_O, view_doc},
    {"keys", database_keys, METH_NOARGS, keys_doc},
    {"values", database_values, METH_NOARGS, values_doc},
    {"items", database_items, METH_NOARGS, items_doc},
    {"replaced", database_replaced, METH_NOARGS, replaced_doc},
    {"close", database_close, METH_NOARGS, close_doc},
    {"__enter__", database_enter, METH_NOARGS, enter_doc},
    {"__exit__", as_method(database_exit), METH_FASTCALL, exit_doc},
    {"__reduce__", database_reduce, METH_NOARGS, reduce_doc},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef database_getset[] = {
    {"closed", database_closed, nullptr, closed_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef database_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(database_object, weakrefs),
     READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyDoc_STRVAR(database_doc,
             "Database(path)\n--\n\n"
             "An open database file, read-only: a mapping from bytes keys to\n"
             "the bytes data of their records. Use qef64.open(path).\n\n"
             "db[key] and get() give the key's first record, get_all() all of\n"
             "them in the order added, get_many() the first record of many\n"
             "keys, view() a record without a copy. Keys are bytes-like\n"
             "(bytes, bytearray, memoryview, mmap); str is refused. len() is\n"
             "the number of records; iterating gives every record's key in\n"
             "file order, a key added twice coming twice.\n\n"
             "One Database may be used from any number of threads at once,\n"
             "and keeps working in a child process after fork(). A damaged\n"
             "file raises OSError with errno EPROTO.");

PyType_Slot database_slots[] = {
    {Py_tp_doc, const_cast<char*>(database_doc)},
    {Py_tp_new, reinterpret_cast<void*>(database_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(database_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(database_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(database_iter)},
    {Py_tp_methods, database_methods},
    {Py_tp_getset, database_getset},
    {Py_tp_members, database_members},
    {Py_mp_length, reinterpret_cast<void*>(database_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(database_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(database_contains)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(database_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(database_releasebuffer)},
    {0, nullptr}};

PyType_Spec database_type_def = {"qef64.Database", sizeof(database_object), 0,
                                 Py_TPFLAGS_DEFAULT, database_slots};

// ---- Walks and views ----------------------------------------------------

void records_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (type == iterator_type) {
    Py_DECREF(reinterpret_cast<iterator_object*>(self)->db);
  } else {
    Py_DECREF(reinterpret_cast<records_view_object*>(self)->db);
  }
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* iterator_next(PyObject* self) {
  auto* it = reinterpret_cast<iterator_object*>(self);
  database_object* d = it->db;
  if (d->closed) return raise_database_closed();
  const void *key, *data;
  size_t key_len, data_len;
  int rc = qef64_iter_next(d->db, &it->it, &key, &key_len, &data, &data_len);
  if (rc == QEF64_NOTFOUND) return nullptr;  // StopIteration
  if (rc != 0) return raise_result(rc, d->path);
  if (it->what == part::keys) return bytes_of(key, key_len);
  if (it->what == part::values) return bytes_of(data, data_len);
  PyObject* k = bytes_of(key, key_len);
  PyObject* v = k == nullptr ? nullptr : bytes_of(data, data_len);
  PyObject* pair = v == nullptr ? nullptr : PyTuple_Pack(2, k, v);
  Py_XDECREF(k);
  Py_XDECREF(v);
  return pair;
}

PyDoc_STRVAR(iterator_doc,
             "One walk over every record of a Database in file order,\n"
             "giving keys, values or (key, value) pairs as bytes. It raises\n"
             "ValueError once the database is closed.");

PyType_Slot iterator_slots[] = {
    {Py_tp_doc, const_cast<char*>(iterator_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(records_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {0, nullptr}};

PyType_Spec iterator_type_def = {"qef64.RecordIterator",
                                 sizeof(iterator_object), 0, Py_TPFLAGS_DEFAULT,
                                 iterator_slots};

PyObject* view_iter(PyObject* self) {
  auto* v = reinterpret_cast<records_view_object*>(self);
  return new_records(iterator_type, v->db, v->what);
}

Py_ssize_t view_length(PyObject* self) {
  return database_length(reinterpret_cast<PyObject*>(
      reinterpret_cast<records_view_object*>(self)->db));
}

// A value is among the values when some record's data equals it: a walk
// over the whole file.
int values_hold(database_object* d, PyObject* value) {
  byte_arg v;
  if (byte_arg_get(value, &v, "value", false) == -1) return -1;
  int result = 0;
  if (d->closed) {
    raise_database_closed();
    result = -1;
  }
  qef64_iter it = QEF64_ITER_INIT;
  while (result == 0) {
    const void *key, *data;
    size_t key_len, data_len;
    int rc = qef64_iter_next(d->db, &it, &key, &key_len, &data, &data_len);
    if (rc == QEF64_NOTFOUND) break;
    if (rc > 0) {
      raise_result(rc, d->path);
      result = -1;
    } else if (data_len == static_cast<size_t>(v.len) &&
               std::memcmp(data, v.data, data_len) == 0) {
      result = 1;
    }
  }
  byte_arg_release(&v);
  return result;
}

int view_contains(PyObject* self, PyObject* o) {
  auto* v = reinterpret_cast<records_view_object*>(self);
  if (v->what == part::keys)
    return database_contains(reinterpret_cast<PyObject*>(v->db), o);
  if (v->what == part::values) return values_hold(v->db, o);
  // As for dict items: anything but a pair is simply not there.
  if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != 2) return 0;
  return holds_record(v->db, PyTuple_GET_ITEM(o, 0), PyTuple_GET_ITEM(o, 1));
}

PyObject* view_repr(PyObject* self) {
  auto* v = reinterpret_cast<records_view_object*>(self);
  const char* name = v->what == part::keys     ? "keys"
                     : v->what == part::values ? "values"
                                               : "items";
  return PyUnicode_FromFormat("<qef64 %s of %R>", name, v->db);
}

PyDoc_STRVAR(records_view_doc,
             "The keys, values or items of a Database: every record in file\n"
             "order, walked afresh by each iteration. len() is the number of\n"
             "records; `in` looks a key up, or the records of a (key, value)\n"
             "pair's key, or walks the values.");

PyType_Slot records_view_slots[] = {
    {Py_tp_doc, const_cast<char*>(records_view_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(records_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(view_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(view_repr)},
    {Py_sq_length, reinterpret_cast<void*>(view_length)},
    {Py_sq_contains, reinterpret_cast<void*>(view_contains)},
    {0, nullptr}};

PyType_Spec records_view_type_def = {"qef64.RecordsView",
                                     sizeof(records_view_object), 0,
                                     Py_TPFLAGS_DEFAULT, records_view_slots};

}  // namespace

PyObject* open_database(PyObject*, PyObject* path) {
  return open_as(database_type, path);
}

PyObject* get_many_sharded(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyTuple_Check(args[0]) || PyTuple_GET_SIZE(args[0]) < 1) {
    PyErr_SetString(PyExc_TypeError,
                    "get_many_sharded() takes a tuple of Databases and keys");
    return nullptr;
  }
  PyObject* shards = args[0];
  Py_ssize_t m = PyTuple_GET_SIZE(shards);
  PyObject* keys = PySequence_Tuple(args[1]);
  if (keys == nullptr) return nullptr;
  // Each key's shard, as qef64_get_many_in takes them, for one chunk.
  auto* dbs = static_cast<const qef64_db**>(
      PyMem_Malloc(static_cast<size_t>(chunk_keys) * sizeof(qef64_db*)));
  database_object** shard_objects = nullptr;
  PyObject* result = nullptr;
  if (dbs == nullptr) {
    PyErr_NoMemory();
  } else if (take_shards(shards, &shard_objects) == 0) {
    // The databases stay mapped while in flight, whatever close() does.
    result = look_up_chunks(keys, nullptr, [&](const lookup_batch& b) {
      for (Py_ssize_t i = 0; i < b.n; i++) {
        std::uint64_t h = qef64_shard_hash(b.keys[i], b.key_lens[i]);
        dbs[i] = shard_objects[h % static_cast<std::uint64_t>(m)]->db;
      }
      return qef64_get_many_in(dbs, static_cast<size_t>(b.n), b.keys,
                               b.key_lens, b.data, b.data_lens);
    });
    give_shards(shard_objects, m);
  }
  PyMem_Free(dbs);
  Py_DECREF(keys);
  return result;
}

int add_database_types(PyObject* module) {
  struct {
    PyTypeObject** type;
    PyType_Spec* def;
    const char* name;
  } made[] = {{&database_type, &database_type_def, "Database"},
              {&iterator_type, &iterator_type_def, "RecordIterator"},
              {&records_view_type, &records_view_type_def, "RecordsView"}};
  for (const auto& m : made) {
    PyObject* type = PyType_FromSpec(m.def);
    if (type == nullptr) return -1;
    *m.type = reinterpret_cast<PyTypeObject*>(type);
    // The module takes a reference of its own; ours lives with the process.
    Py_INCREF(type);
    if (PyModule_AddObject(module, m.name, type) == -1) {
      Py_DECREF(type);
      return -1;
    }
  }
  return 0;
}

}  // namespace qef64::python
