// The writers of qef64._qef64. Builder: a database written into a
// temporary file beside its path and put in place, durable, by commit();
// abort() removes the temporary file. Publication, for qef64.sharded: a new
// version of a sharded set, its directory filled with shards by anyone and
// made current by commit() (qef64_publication_*). A writer serves one
// thread at a time: while a call holds it without the GIL, every other call
// raises RuntimeError. In a fork child the C interface refuses it (EBUSY)
// and frees only the child's copy, leaving the parent's files alone.

#include <cerrno>
#include <cstdint>

#include "python/binding.h"
#include "structmember.h"

namespace qef64::python {
namespace {

// add_many takes this many pairs with the GIL, then adds them without it.
constexpr Py_ssize_t chunk_pairs = 1024;
// add() adds a record this large without the GIL: it takes several writes.
constexpr Py_ssize_t gil_free_record = Py_ssize_t{64} * 1024;

// A database being built (Handle qef64_builder) or a version being
// published (qef64_publication). b is null once committed, aborted or
// failed.
template <class Handle>
struct writer_object {
  PyObject ob_base;
  Handle* b;
  PyObject* path;
  bool busy;          // a call holds b: every other call is refused
  const char* ended;  // "committed", "aborted" or "failed" once b is gone
};
using builder_object = writer_object<qef64_builder>;

template <class Handle>
writer_object<Handle>* as_writer(PyObject* o) {
  return reinterpret_cast<writer_object<Handle>*>(o);
}

// 0 when a call may use the writer now; -1 with an exception.
template <class Handle>
int usable(writer_object<Handle>* w) {
  if (w->b == nullptr) {
    PyErr_Format(PyExc_ValueError, "operation on a %s already %s",
                 Py_TYPE(w)->tp_name, w->ended);
    return -1;
  }
  if (w->busy) {
    PyErr_Format(PyExc_RuntimeError, "the %s is in use by another thread",
                 Py_TYPE(w)->tp_name);
    return -1;
  }
  return 0;
}

template <class Handle>
Handle* hold(writer_object<Handle>* w) {
  if (usable(w) == -1) return nullptr;
  w->busy = true;
  return w->b;
}

template <class Handle>
void release(writer_object<Handle>* w) {
  w->busy = false;
}

// The exception for rc: what the C interface returned, or refused.
template <class Handle>
PyObject* raise_writer(writer_object<Handle>* w, int rc) {
  if (rc == refused) return nullptr;
  return raise_result(rc, w->path,
                      rc != EBUSY ? nullptr
                                  : "made by another process: in a child "
                                    "after fork() it cannot be used");
}

template <class Handle>
void adopt_writer(PyObject* self, Handle* b, PyObject* path) {
  as_writer<Handle>(self)->b = b;
  as_writer<Handle>(self)->path = path;
}

PyObject* builder_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* keywords[] = {"path", "memory", nullptr};
  PyObject* path_arg;
  // None given: the default. Python's Builder checks what it is given.
  unsigned long long memory = ULLONG_MAX;
  if (PyArg_ParseTupleAndKeywords(args, kwds, "O|$K:Builder",
                                  const_cast<char**>(keywords), &path_arg,
                                  &memory) == 0)
    return nullptr;
  return new_from_path(
      type, path_arg,
      [memory](const char* name, qef64_builder** b) {
        int rc = qef64_builder_open(name, b);
        if (rc == 0 && memory != ULLONG_MAX &&
            (rc = qef64_builder_set_memory(*b, memory)) != 0) {
          qef64_builder_abort(*b);
          *b = nullptr;
        }
        return rc;
      },
      qef64_builder_abort, adopt_writer<qef64_builder>);
}

PyObject* publication_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* keywords[] = {"path", "shards", nullptr};
  PyObject* path_arg;
  Py_ssize_t shards;
  if (PyArg_ParseTupleAndKeywords(args, kwds, "On:Publication",
                                  const_cast<char**>(keywords), &path_arg,
                                  &shards) == 0)
    return nullptr;
  // A negative count becomes one past the largest, which the open refuses.
  return new_from_path(
      type, path_arg,
      [shards](const char* name, qef64_publication** p) {
        return qef64_publication_open(name, static_cast<size_t>(shards), p);
      },
      qef64_publication_abort, adopt_writer<qef64_publication>);
}

template <class Handle, void (*abort)(Handle*)>
void writer_dealloc(PyObject* self) {
  writer_object<Handle>* w = as_writer<Handle>(self);
  PyTypeObject* type = Py_TYPE(self);
  // Never committed: given up, without the GIL (a publication removes a
  // directory). In a fork child, only the child's copy is freed.
  if (w->b != nullptr)
    (void)without_gil(&w->b, [](Handle* b) { return abort(b), 0; });
  Py_XDECREF(w->path);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* builder_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  builder_object* bo = as_writer<qef64_builder>(self);
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "add() takes a key and a value");
    return nullptr;
  }
  byte_arg k, v;
  if (record_args(args[0], args[1], &k, &v, false) == -1) return nullptr;
  auto add = [&k, &v](qef64_builder* b) {
    return qef64_builder_add(b, k.data, static_cast<size_t>(k.len), v.data,
                             static_cast<size_t>(v.len));
  };
  int rc;
  if (k.len >= gil_free_record - v.len)
    rc = without_gil(bo, add);
  else
    rc = usable(bo) == -1 ? refused : add(bo->b);
  byte_arg_release(&v);
  byte_arg_release(&k);
  if (rc != 0) return raise_writer(bo, rc);
  Py_RETURN_NONE;
}

// Takes up to chunk_pairs pairs of it into chunk: their number, or -1 with
// an exception and nothing held.
Py_ssize_t take_chunk(PyObject* it, byte_arg* chunk) {
  Py_ssize_t n = 0;
  while (n < chunk_pairs) {
    PyObject* item = PyIter_Next(it);
    if (item == nullptr && PyErr_Occurred() == nullptr) break;
    int rc = item == nullptr
                 ? -1
                 : pair_arg_get(item, &chunk[2 * n], &chunk[2 * n + 1]);
    Py_XDECREF(item);
    if (rc == -1) {
      for (Py_ssize_t i = 0; i < 2 * n; i++)
        byte_arg_release(&chunk[i]);
      return -1;
    }
    n++;
  }
  return n;
}

PyObject* builder_add_many(PyObject* self, PyObject* pairs) {
  builder_object* bo = as_writer<qef64_builder>(self);
  if (usable(bo) == -1) return nullptr;
  PyObject* it = PyObject_GetIter(pairs);
  if (it == nullptr) return nullptr;
  auto* chunk = static_cast<byte_arg*>(
      PyMem_Malloc(2 * static_cast<size_t>(chunk_pairs) * sizeof(byte_arg)));
  if (chunk == nullptr) {
    Py_DECREF(it);
    return PyErr_NoMemory();
  }
  int rc = 0;
  while (rc == 0) {
    Py_ssize_t n = take_chunk(it, chunk);
    if (n <= 0) {
      rc = n == 0 ? 0 : refused;
      break;
    }
    // The pairs' own code (a generator, a buffer) may have committed the
    // builder meanwhile, or another thread taken it: the hold checks.
    rc = without_gil(bo, [chunk, n](qef64_builder* b) {
      int r = 0;
      for (Py_ssize_t i = 0; i < n && r == 0; i++) {
        const byte_arg& k = chunk[2 * i];
        const byte_arg& v = chunk[2 * i + 1];
        r = qef64_builder_add(b, k.data, static_cast<size_t>(k.len), v.data,
                              static_cast<size_t>(v.len));
      }
      return r;
    });
    for (Py_ssize_t i = 0; i < 2 * n; i++)
      byte_arg_release(&chunk[i]);
  }
  PyMem_Free(chunk);
  Py_DECREF(it);
  if (rc != 0) return raise_writer(bo, rc);
  Py_RETURN_NONE;
}

// Adds the whole packed records at the front of p[0, len): 0 with their
// number and their bytes in *records and *used, or the C builder's failure.
// A record cut off by the end of p is left for the caller's next piece.
int add_run(qef64_builder* b, const char* p, Py_ssize_t len,
            Py_ssize_t* records, Py_ssize_t* used) {
  while (len - *used >= packed_head) {
    const char* head = p + *used;
    std::uint64_t k = 0, v = 0;
    for (int i = 7; i >= 0; i--) {
      k = (k << 8) | static_cast<unsigned char>(head[i]);
      v = (v << 8) | static_cast<unsigned char>(head[8 + i]);
    }
    auto room = static_cast<std::uint64_t>(len - *used - packed_head);
    if (k > room || v > room - k) break;
    int rc = qef64_builder_add(b, head + packed_head, static_cast<size_t>(k),
                               head + packed_head + k, static_cast<size_t>(v));
    if (rc != 0) return rc;
    *used += packed_head + static_cast<Py_ssize_t>(k + v);
    ++*records;
  }
  return 0;
}

PyObject* builder_add_packed(PyObject* self, PyObject* run) {
  builder_object* bo = as_writer<qef64_builder>(self);
  byte_arg r;
  if (byte_arg_get(run, &r, "packed run", false) == -1) return nullptr;
  Py_ssize_t records = 0, used = 0;
  int rc = without_gil(bo, [&](qef64_builder* b) {
    return add_run(b, r.data, r.len, &records, &used);
  });
  byte_arg_release(&r);
  if (rc != 0) return raise_writer(bo, rc);
  return Py_BuildValue("(nn)", records, used);
}

template <class Handle, int (*commit)(Handle*)>
PyObject* writer_commit(PyObject* self, PyObject*) {
  writer_object<Handle>* w = as_writer<Handle>(self);
  // fsyncs, and for a publication the checksums: other threads run
  // meanwhile.
  int rc = without_gil(w, [](Handle* b) { return commit(b); });
  if (rc == refused) return nullptr;
  w->b = nullptr;  // freed, whatever the result
  w->ended = rc == 0 ? "committed" : "failed";
  if (rc != 0) return raise_writer(w, rc);
  Py_RETURN_NONE;
}

template <class Handle, void (*abort)(Handle*)>
PyObject* writer_abort(PyObject* self, PyObject*) {
  writer_object<Handle>* w = as_writer<Handle>(self);
  if (w->b == nullptr) Py_RETURN_NONE;
  // Files to remove, a directory tree for a publication.
  if (without_gil(w, [](Handle* b) { return abort(b), 0; }) == refused)
    return nullptr;
  w->b = nullptr;
  w->ended = "aborted";
  Py_RETURN_NONE;
}

PyObject* publication_shard_path(PyObject* self, PyObject* index) {
  writer_object<qef64_publication>* w = as_writer<qef64_publication>(self);
  Py_ssize_t i = PyNumber_AsSsize_t(index, PyExc_IndexError);
  if ((i == -1 && PyErr_Occurred()) || usable(w) == -1) return nullptr;
  char path[PATH_MAX];
  // A negative index becomes one past the last, which the call refuses.
  int rc = qef64_publication_shard_path(w->b, static_cast<size_t>(i), path,
                                        sizeof path);
  if (rc != 0) return raise_result(rc, w->path);
  return PyUnicode_DecodeFSDefault(path);
}

PyDoc_STRVAR(add_doc,
             "add($self, key, value, /)\n--\n\n"
             "Append one record; a key's records come back in this order.");
PyDoc_STRVAR(add_many_doc,
             "add_many($self, pairs, /)\n--\n\n"
             "Append a record for each (key, value) pair of the iterable,\n"
             "in order, letting other threads run while they are written.");
PyDoc_STRVAR(add_packed_doc,
             "add_packed($self, run, /)\n--\n\n"
             "Append the whole records at the front of run, as partition()\n"
             "packs them; return (records, bytes used).");
PyDoc_STRVAR(commit_doc,
             "commit($self, /)\n--\n\n"
             "Finish the database, durable, and rename it onto the path; the\n"
             "builder is spent, and a failure leaves the path as it was.");
PyDoc_STRVAR(abort_doc,
             "abort($self, /)\n--\n\n"
             "Give the build up: the path is left as it was.");

PyMethodDef builder_methods[] = {
    {"add", as_method(builder_add), METH_FASTCALL, add_doc},
    {"add_many", builder_add_many, METH_O, add_many_doc},
    {"add_packed", builder_add_packed, METH_O, add_packed_doc},
    {"commit", writer_commit<qef64_builder, qef64_builder_commit>, METH_NOARGS,
     commit_doc},
    {"abort", writer_abort<qef64_builder, qef64_builder_abort>, METH_NOARGS,
     abort_doc},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef publication_methods[] = {
    {"shard_path", publication_shard_path, METH_O, nullptr},
    {"commit", writer_commit<qef64_publication, qef64_publication_commit>,
     METH_NOARGS, nullptr},
    {"abort", writer_abort<qef64_publication, qef64_publication_abort>,
     METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

template <class Handle>
PyMemberDef writer_members[] = {
    {"_path", T_OBJECT, offsetof(writer_object<Handle>, path), READONLY,
     "The path as given."},
    {"_ended", T_STRING, offsetof(writer_object<Handle>, ended), READONLY,
     "None while open; then \"committed\", \"aborted\" or \"failed\"."},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot builder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(builder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(
                        writer_dealloc<qef64_builder, qef64_builder_abort>)},
    {Py_tp_methods, builder_methods},
    {Py_tp_members, writer_members<qef64_builder>},
    {0, nullptr}};

PyType_Slot publication_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(publication_new)},
    {Py_tp_dealloc,
     reinterpret_cast<void*>(
         writer_dealloc<qef64_publication, qef64_publication_abort>)},
    {Py_tp_methods, publication_methods},
    {Py_tp_members, writer_members<qef64_publication>},
    {0, nullptr}};

PyType_Spec builder_type_def = {"qef64._qef64.Builder", sizeof(builder_object),
                                0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                                builder_slots};
PyType_Spec publication_type_def = {"qef64._qef64.Publication",
                                    sizeof(writer_object<qef64_publication>), 0,
                                    Py_TPFLAGS_DEFAULT, publication_slots};

}  // namespace

int add_builder_types(PyObject* module) {
  if (add_type(module, &builder_type_def, "Builder") == nullptr ||
      add_type(module, &publication_type_def, "Publication") == nullptr)
    return -1;
  return 0;
}

}  // namespace qef64::python
