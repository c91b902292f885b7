// The C half of qef64.Database, a read-only mapping of bytes keys to bytes
// records, and of qef64.ShardedDatabase, the same over a sharded set: one
// template over the handle, whose calls the C interface names alike
// (qef64_get, qef64_set_get, ...).
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
namespace {

// An open database (Handle qef64_db) or sharded set (qef64_set).
template <class Handle>
struct reader_object {
  PyObject ob_base;
  Handle* handle;            // null once closed and unused
  PyObject* path;            // as given to open, for messages and pickling
  unsigned long long count;  // records, as the header or manifest says
  Py_ssize_t shards;         // 1 for a database
  const char* version;       // a set's version name (the handle's); or null
  Py_ssize_t exports;        // buffers of view() not yet released
  Py_ssize_t in_flight;      // calls holding the handle
  bool closed;               // close() was called: every operation refuses
  const void* export_data;   // the record view() is turning into a buffer
  Py_ssize_t export_len;
  PyObject* weakrefs;
};

// The calls of the C interface on each kind of handle.
template <class Handle>
struct calls;
template <>
struct calls<qef64_db> {
  static constexpr auto open = qef64_open_ex;
  static constexpr auto close = qef64_close;
  static constexpr auto count = qef64_count;
  static constexpr auto get = qef64_get;
  static constexpr auto find_next = qef64_find_next;
  static constexpr auto get_many = qef64_get_many;
  static constexpr auto iter_next = qef64_iter_next;
  static constexpr auto replaced = qef64_replaced;
  static constexpr auto resident = qef64_resident;
  static constexpr auto verify = qef64_verify_problem;
};
template <>
struct calls<qef64_set> {
  static constexpr auto open = qef64_set_open_ex;
  static constexpr auto close = qef64_set_close;
  static constexpr auto count = qef64_set_count;
  static constexpr auto get = qef64_set_get;
  static constexpr auto find_next = qef64_set_find_next;
  static constexpr auto get_many = qef64_set_get_many;
  static constexpr auto iter_next = qef64_set_iter_next;
  static constexpr auto replaced = qef64_set_replaced;
  static constexpr auto resident = qef64_set_resident;
  static constexpr auto verify = qef64_set_verify_problem;
};

// get_many looks this many keys or more up without the GIL; for fewer, taking
// the GIL back costs more than their lookups keep other threads waiting.
constexpr Py_ssize_t gil_free_keys = 64;

template <class Handle>
reader_object<Handle>* as_reader(PyObject* o) {
  return reinterpret_cast<reader_object<Handle>*>(o);
}

// Closes a handle without the GIL: a background warming stops first.
template <class Handle>
void close_handle(Handle* h) {
  if (h != nullptr)
    (void)without_gil(&h, [](Handle* c) { return calls<Handle>::close(c), 0; });
}

// The mapping goes when nothing may use it any more.
template <class Handle>
void unmap_if_unused(reader_object<Handle>* r) {
  if (r->closed && r->exports == 0 && r->in_flight == 0) {
    Handle* h = r->handle;
    r->handle = nullptr;  // before the GIL goes: no other call can reach it
    r->version = nullptr;
    close_handle(h);
  }
}

template <class Handle>
const Handle* hold(reader_object<Handle>* r) {
  if (r->closed) return raise_closed(), nullptr;
  r->in_flight++;
  return r->handle;
}

template <class Handle>
void release(reader_object<Handle>* r) {
  r->in_flight--;
  unmap_if_unused(r);
}

// The result of a lookup of the key's first record: make(rc, data, len) of
// what qef64_get returned (0, or QEF64_NOTFOUND). The key is given back
// after make, since giving it back may run code that closes the database.
template <class Handle, class Make>
PyObject* look_up(reader_object<Handle>* r, PyObject* key, Make make) {
  byte_arg k;
  if (byte_arg_get(key, &k, "key", false) == -1) return nullptr;
  PyObject* result = nullptr;
  const void* data;
  size_t len;
  int rc;
  if (r->closed) {
    raise_closed();
  } else if ((rc = calls<Handle>::get(
                  r->handle, k.data, static_cast<size_t>(k.len), &data, &len)) >
             0) {
    raise_result(rc, r->path);
  } else {
    result = make(rc, data, len);
  }
  byte_arg_release(&k);
  return result;
}

template <class Handle>
PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* keywords[] = {"path", "flags", nullptr};
  PyObject* path_arg;
  unsigned flags = 0;
  if (PyArg_ParseTupleAndKeywords(args, kwds, "O|I",
                                  const_cast<char**>(keywords), &path_arg,
                                  &flags) == 0)
    return nullptr;
  return new_from_path(
      type, path_arg,
      [flags](const char* name, Handle** h) {
        return calls<Handle>::open(name, flags, h);
      },
      close_handle<Handle>,
      [](PyObject* self, Handle* h, PyObject* path) {
        reader_object<Handle>* r = as_reader<Handle>(self);
        r->handle = h;
        r->path = path;
        r->count = calls<Handle>::count(h);
        r->shards = 1;
        if constexpr (std::is_same_v<Handle, qef64_set>) {
          r->shards = static_cast<Py_ssize_t>(qef64_set_shards(h));
          r->version = qef64_set_version(h);
        }
      });
}

template <class Handle>
void reader_dealloc(PyObject* self) {
  reader_object<Handle>* r = as_reader<Handle>(self);
  PyTypeObject* type = Py_TYPE(self);
  if (r->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  // Neither a view nor a call can be left: each holds a reference.
  close_handle(r->handle);
  Py_XDECREF(r->path);
  type->tp_free(self);
  Py_DECREF(type);
}

template <class Handle>
PyObject* reader_subscript(PyObject* self, PyObject* key) {
  return look_up(as_reader<Handle>(self), key,
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

template <class Handle>
int reader_contains(PyObject* self, PyObject* key) {
  PyObject* found = look_up(
      as_reader<Handle>(self), key,
      [](int rc, const void*, size_t) { return PyBool_FromLong(rc == 0); });
  Py_XDECREF(found);  // True or False, never freed: still comparable
  return found == nullptr ? -1 : found == Py_True;
}

template <class Handle>
PyObject* reader_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
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
  return look_up(as_reader<Handle>(self), args[0],
                 [fallback](int rc, const void* data, size_t len) {
                   if (rc == 0) return bytes_of(data, len);
                   Py_INCREF(fallback);
                   return fallback;
                 });
}

template <class Handle>
PyObject* reader_get_all(PyObject* self, PyObject* key) {
  reader_object<Handle>* r = as_reader<Handle>(self);
  byte_arg k;
  if (byte_arg_get(key, &k, "key", false) == -1) return nullptr;
  // Held: the list may collect garbage, and with it run any code.
  const Handle* h = hold(r);
  PyObject* all = h == nullptr ? nullptr : PyList_New(0);
  qef64_cursor cur = QEF64_CURSOR_INIT;
  while (all != nullptr) {
    const void* data;
    size_t len;
    int rc = calls<Handle>::find_next(h, &cur, k.data,
                                      static_cast<size_t>(k.len), &data, &len);
    if (rc == QEF64_NOTFOUND) break;
    PyObject* item = rc == 0 ? bytes_of(data, len) : raise_result(rc, r->path);
    if (item == nullptr || PyList_Append(all, item) == -1) Py_CLEAR(all);
    Py_XDECREF(item);
  }
  if (h != nullptr) release(r);
  byte_arg_release(&k);
  return all;
}

// Keys are looked up this many at a time: a chunk's records are still in
// the cache when their bytes objects are made, where one call over a
// million keys would have pushed the first records out long before.
constexpr Py_ssize_t chunk_keys = 1024;

// One chunk of a batched lookup: its n keys, their first records (data
// null for none) and the exports of the keys that are not bytes (obj null
// for the others), in one allocation.
struct lookup_batch {
  Py_ssize_t n;
  const void** keys;
  size_t* key_lens;
  const void** data;
  size_t* data_lens;
  Py_buffer* views;
};

// Fills b with the n keys of a tuple from start on: 0, or -1 with an
// exception and b->n the keys taken.
int batch_fill(lookup_batch* b, PyObject* keys, Py_ssize_t start,
               Py_ssize_t n) {
  for (Py_ssize_t i = 0; i < n; b->n = ++i) {
    PyObject* key = PyTuple_GET_ITEM(keys, start + i);
    b->views[i].obj = nullptr;
    if (PyBytes_CheckExact(key)) {  // most keys: taken without a call
      b->keys[i] = PyBytes_AS_STRING(key);
      b->key_lens[i] = static_cast<size_t>(PyBytes_GET_SIZE(key));
      continue;
    }
    byte_arg k;
    if (byte_arg_get(key, &k, "key", false) == -1) return -1;
    b->views[i] = k.view;  // the export moves here
    b->keys[i] = k.data;
    b->key_lens[i] = static_cast<size_t>(k.len);
  }
  return 0;
}

// The first record of each key of the tuple keys, as a list of bytes or
// None, a chunk at a time. The caller holds r.
template <class Handle>
PyObject* look_up_chunks(reader_object<Handle>* r, PyObject* keys) {
  Py_ssize_t n = PyTuple_GET_SIZE(keys);
  Py_ssize_t cap = std::min(n, chunk_keys);
  static_assert(sizeof(size_t) == sizeof(void*) &&
                alignof(Py_buffer) <= alignof(void*));
  auto** block = static_cast<void**>(PyMem_Malloc(
      static_cast<size_t>(cap) * (4 * sizeof(void*) + sizeof(Py_buffer))));
  if (block == nullptr) return PyErr_NoMemory();
  lookup_batch b{0,
                 const_cast<const void**>(block),
                 reinterpret_cast<size_t*>(block + cap),
                 const_cast<const void**>(block + 2 * cap),
                 reinterpret_cast<size_t*>(block + 3 * cap),
                 reinterpret_cast<Py_buffer*>(block + 4 * cap)};
  PyObject* result = PyList_New(n);
  for (Py_ssize_t start = 0; result != nullptr && start < n;
       start += chunk_keys) {
    int rc = batch_fill(&b, keys, start, std::min(chunk_keys, n - start));
    auto work = [&b](const Handle* h) {
      return calls<Handle>::get_many(h, static_cast<size_t>(b.n), b.keys,
                                     b.key_lens, b.data, b.data_lens);
    };
    if (rc == 0) {
      rc = n >= gil_free_keys ? without_gil(r, work) : work(r->handle);
      if (rc != 0 && rc != refused) raise_result(rc, r->path);
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
    for (Py_ssize_t i = 0; i < b.n; i++) {  // the keys' exports go back
      if (b.views[i].obj != nullptr) PyBuffer_Release(&b.views[i]);
    }
  }
  PyMem_Free(block);
  return result;
}

template <class Handle>
PyObject* reader_get_many(PyObject* self, PyObject* keys_arg) {
  reader_object<Handle>* r = as_reader<Handle>(self);
  // A tuple of our own keeps every key alive while the GIL is released,
  // whatever another thread does to the caller's list meanwhile.
  PyObject* keys = PySequence_Tuple(keys_arg);
  if (keys == nullptr) return nullptr;
  PyObject* result = nullptr;
  // Held for the whole call: the records are copied after the lookups.
  if (hold(r) != nullptr) {
    result = look_up_chunks(r, keys);
    release(r);
  }
  Py_DECREF(keys);
  return result;
}

template <class Handle>
PyObject* reader_view(PyObject* self, PyObject* key) {
  reader_object<Handle>* r = as_reader<Handle>(self);
  // Held: making the memoryview may collect garbage, and with it run any
  // code, before its buffer is counted among the exports.
  if (hold(r) == nullptr) return nullptr;
  PyObject* view =
      look_up(r, key, [self, r](int rc, const void* data, size_t len) {
        if (rc != 0) Py_RETURN_NONE;
        // The memoryview asks reader_getbuffer for this record's bytes.
        r->export_data = data;
        r->export_len = static_cast<Py_ssize_t>(len);
        PyObject* made = PyMemoryView_FromObject(self);
        r->export_data = nullptr;
        return made;
      });
  release(r);
  return view;
}

template <class Handle>
int reader_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  reader_object<Handle>* r = as_reader<Handle>(self);
  if (r->export_data == nullptr) {
    view->obj = nullptr;
    PyErr_SetString(PyExc_TypeError, "not a buffer: view(key) gives one");
    return -1;
  }
  if (PyBuffer_FillInfo(view, self, const_cast<void*>(r->export_data),
                        r->export_len, 1, flags) == -1)
    return -1;
  r->exports++;
  return 0;
}

template <class Handle>
void reader_releasebuffer(PyObject* self, Py_buffer*) {
  reader_object<Handle>* r = as_reader<Handle>(self);
  r->exports--;
  unmap_if_unused(r);
}

// One step of a walk: what iter_next returns, or refused.
template <class Handle>
int walk_step(PyObject* owner, qef64_iter* it, const void** key,
              size_t* key_len, const void** data, size_t* data_len) {
  reader_object<Handle>* r = as_reader<Handle>(owner);
  if (r->closed) return raise_closed(), refused;
  int rc =
      calls<Handle>::iter_next(r->handle, it, key, key_len, data, data_len);
  return rc > 0 ? (raise_result(rc, r->path), refused) : rc;
}

template <class Handle>
PyObject* reader_walk(PyObject* self, PyObject* what) {
  long part = PyLong_AsLong(what);
  if ((part < 0 || part > 2) && PyErr_Occurred() == nullptr)
    PyErr_SetString(PyExc_ValueError, "_walk() takes 0, 1 or 2");
  if (part < 0 || part > 2) return nullptr;
  return new_iterator(self, walk_step<Handle>, static_cast<walk>(part));
}

template <class Handle>
PyObject* reader_replaced(PyObject* self, PyObject*) {
  // A stat of the path, or a readlink: it may wait on the file system.
  int replaced = without_gil(as_reader<Handle>(self), [](const Handle* h) {
    return calls<Handle>::replaced(h);
  });
  return replaced == refused ? nullptr : PyBool_FromLong(replaced);
}

template <class Handle>
PyObject* reader_resident(PyObject* self, PyObject*) {
  std::uint64_t tables = 0, records = 0;
  // One mincore(2) pass over the mapping: a millisecond a gigabyte.
  int rc = without_gil(as_reader<Handle>(self), [&](const Handle* h) {
    return calls<Handle>::resident(h, &tables, &records);
  });
  if (rc == refused) return nullptr;
  if (rc != 0) return raise_result(rc, as_reader<Handle>(self)->path);
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(tables),
                       static_cast<unsigned long long>(records));
}

// None when sound; for a damaged file or set, (offset, shard or -1, what is
// wrong, the text of EPROTO).
template <class Handle>
PyObject* reader_verify(PyObject* self, PyObject*) {
  qef64_problem p{0, 0, nullptr};
  // Reads every byte, and checksums the shards of a set.
  int rc = without_gil(as_reader<Handle>(self), [&p](const Handle* h) {
    return calls<Handle>::verify(h, &p);
  });
  if (rc == 0) Py_RETURN_NONE;
  if (rc == refused) return nullptr;
  if (rc != EPROTO) return raise_result(rc, as_reader<Handle>(self)->path);
  return Py_BuildValue("(Knzs)", static_cast<unsigned long long>(p.offset),
                       static_cast<Py_ssize_t>(p.shard), p.what,
                       qef64_strerror(EPROTO));
}

template <class Handle>
PyObject* reader_close(PyObject* self, PyObject*) {
  reader_object<Handle>* r = as_reader<Handle>(self);
  r->closed = true;
  unmap_if_unused(r);
  Py_RETURN_NONE;
}

PyDoc_STRVAR(get_doc,
             "get($self, key, /, default=None)\n--\n\n"
             "The key's first record, in the order added; default if none.");
PyDoc_STRVAR(get_all_doc,
             "get_all($self, key, /)\n--\n\n"
             "Every record of the key, in a list in the order added.");
PyDoc_STRVAR(get_many_doc,
             "get_many($self, keys, /)\n--\n\n"
             "The first record of each key, or None, in one batch.");
PyDoc_STRVAR(view_doc,
             "view($self, key, /)\n--\n\n"
             "The key's first record as a read-only memoryview into the\n"
             "mapped file, or None; valid after close().");
PyDoc_STRVAR(replaced_doc,
             "replaced($self, /)\n--\n\n"
             "True when opening the path again would give another file or\n"
             "version: replaced, removed or changed in place.");
PyDoc_STRVAR(close_doc,
             "close($self, /)\n--\n\n"
             "Close: every later operation raises ValueError; the file is\n"
             "unmapped once no view() and no call uses it.");

template <class Handle>
PyMethodDef reader_methods[] = {
    {"get", as_method(reader_get<Handle>), METH_FASTCALL | METH_KEYWORDS,
     get_doc},
    {"get_all", reader_get_all<Handle>, METH_O, get_all_doc},
    {"get_many", reader_get_many<Handle>, METH_O, get_many_doc},
    {"view", reader_view<Handle>, METH_O, view_doc},
    {"_walk", reader_walk<Handle>, METH_O, nullptr},
    {"replaced", reader_replaced<Handle>, METH_NOARGS, replaced_doc},
    {"_resident", reader_resident<Handle>, METH_NOARGS, nullptr},
    {"_verify", reader_verify<Handle>, METH_NOARGS, nullptr},
    {"close", reader_close<Handle>, METH_NOARGS, close_doc},
    {nullptr, nullptr, 0, nullptr}};

template <class Handle>
PyMemberDef reader_members[] = {
    {"__weaklistoffset__", T_PYSSIZET,
     offsetof(reader_object<Handle>, weakrefs), READONLY, nullptr},
    {"closed", T_BOOL, offsetof(reader_object<Handle>, closed), READONLY,
     "True once close() has been called."},
    {"_path", T_OBJECT, offsetof(reader_object<Handle>, path), READONLY,
     nullptr},
    {"_count", T_ULONGLONG, offsetof(reader_object<Handle>, count), READONLY,
     nullptr},
    {"_shards", T_PYSSIZET, offsetof(reader_object<Handle>, shards), READONLY,
     nullptr},
    {"_version", T_STRING, offsetof(reader_object<Handle>, version), READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr}};

template <class Handle>
PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new<Handle>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc<Handle>)},
    {Py_tp_methods, reader_methods<Handle>},
    {Py_tp_members, reader_members<Handle>},
    {Py_mp_subscript, reinterpret_cast<void*>(reader_subscript<Handle>)},
    {Py_sq_contains, reinterpret_cast<void*>(reader_contains<Handle>)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(reader_getbuffer<Handle>)},
    {Py_bf_releasebuffer,
     reinterpret_cast<void*>(reader_releasebuffer<Handle>)},
    {0, nullptr}};

}  // namespace

int add_database_types(PyObject* module) {
  constexpr unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
  PyType_Spec db = {"qef64._qef64.Database", sizeof(reader_object<qef64_db>), 0,
                    flags, reader_slots<qef64_db>};
  PyType_Spec set = {"qef64._qef64.ShardedDatabase",
                     sizeof(reader_object<qef64_set>), 0, flags,
                     reader_slots<qef64_set>};
  bool added = add_type(module, &db, "Database") != nullptr &&
               add_type(module, &set, "ShardedDatabase") != nullptr;
  return added ? 0 : -1;
}

}  // namespace qef64::python
