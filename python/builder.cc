// The C half of qef64.Builder: a database written into a temporary file
// beside its path and put in place, durable, by commit(); abort() removes
// the temporary file. The C builder serves one thread at a time: while a
// call holds it without the GIL, every other call raises RuntimeError. In a
// fork child the C interface refuses it (EBUSY) and frees only the child's
// copy, leaving the parent's temporary file alone.

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

// A database being built. b is null once committed, aborted or failed.
struct builder_object {
  PyObject ob_base;
  qef64_builder* b;
  PyObject* path;
  bool busy;          // a call holds b: every other call is refused
  const char* ended;  // "committed", "aborted" or "failed" once b is gone
};

builder_object* as_builder(PyObject* o) {
  return reinterpret_cast<builder_object*>(o);
}

// 0 when a call may use the builder now; -1 with an exception.
int usable(builder_object* bo) {
  if (bo->b == nullptr) {
    PyErr_Format(PyExc_ValueError, "operation on a Builder already %s",
                 bo->ended);
    return -1;
  }
  if (bo->busy) {
    PyErr_SetString(PyExc_RuntimeError,
                    "the Builder is in use by another thread");
    return -1;
  }
  return 0;
}

qef64_builder* hold(builder_object* bo) {
  if (usable(bo) == -1) return nullptr;
  bo->busy = true;
  return bo->b;
}

void release(builder_object* bo) {
  bo->busy = false;
}

// The exception for rc: what the C builder returned, or refused.
PyObject* raise_builder(builder_object* bo, int rc) {
  if (rc == refused) return nullptr;
  return raise_result(rc, bo->path,
                      rc != EBUSY ? nullptr
                                  : "this Builder belongs to the process "
                                    "that opened it; a process forked from "
                                    "that one cannot add to it or commit it");
}

PyObject* builder_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* keywords[] = {"path", "memory", nullptr};
  PyObject* path_arg;
  PyObject* memory_arg = Py_None;
  if (PyArg_ParseTupleAndKeywords(args, kwds, "O|$O:Builder",
                                  const_cast<char**>(keywords), &path_arg,
                                  &memory_arg) == 0)
    return nullptr;
  bool budget = memory_arg != Py_None;
  unsigned long long memory =
      budget ? PyLong_AsUnsignedLongLong(memory_arg) : 0;
  if (memory == static_cast<unsigned long long>(-1) && PyErr_Occurred())
    return nullptr;
  return new_from_path(
      type, path_arg,
      [budget, memory](const char* name, qef64_builder** b) {
        int rc = qef64_builder_open(name, b);
        if (rc == 0 && budget &&
            (rc = qef64_builder_set_memory(*b, memory)) != 0) {
          qef64_builder_abort(*b);
          *b = nullptr;
        }
        return rc;
      },
      qef64_builder_abort,
      [](PyObject* self, qef64_builder* b, PyObject* path) {
        as_builder(self)->b = b;
        as_builder(self)->path = path;
      });
}

void builder_dealloc(PyObject* self) {
  builder_object* bo = as_builder(self);
  PyTypeObject* type = Py_TYPE(self);
  // Never committed: the build is given up. In a fork child this frees the
  // child's copy and leaves the parent's temporary file alone.
  qef64_builder_abort(bo->b);
  Py_XDECREF(bo->path);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* builder_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  builder_object* bo = as_builder(self);
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "add() takes a key and a value");
    return nullptr;
  }
  byte_arg k, v;
  if (byte_arg_get(args[0], &k, "key", false) == -1) return nullptr;
  if (byte_arg_get(args[1], &v, "value", false) == -1) {
    byte_arg_release(&k);
    return nullptr;
  }
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
  if (rc != 0) return raise_builder(bo, rc);
  Py_RETURN_NONE;
}

// One (key, value) item of add_many into two held arguments: 0, or -1 with
// an exception and nothing held.
int take_pair(PyObject* item, byte_arg* k, byte_arg* v) {
  PyObject* seq = PySequence_Fast(item, "");
  // An error of the item's own iteration goes on as it is.
  if (seq == nullptr && !PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
  if (seq == nullptr || PySequence_Fast_GET_SIZE(seq) != 2) {
    PyErr_Format(PyExc_TypeError,
                 "add_many() takes (key, value) pairs, not '%.100s'",
                 Py_TYPE(item)->tp_name);
    Py_XDECREF(seq);
    return -1;
  }
  PyObject** both = PySequence_Fast_ITEMS(seq);
  int rc = byte_arg_get(both[0], k, "key", true);
  if (rc == 0 && (rc = byte_arg_get(both[1], v, "value", true)) == -1)
    byte_arg_release(k);
  Py_DECREF(seq);
  return rc;
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
                 : take_pair(item, &chunk[2 * n], &chunk[2 * n + 1]);
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
  builder_object* bo = as_builder(self);
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
  if (rc != 0) return raise_builder(bo, rc);
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
  builder_object* bo = as_builder(self);
  byte_arg r;
  if (byte_arg_get(run, &r, "packed run", false) == -1) return nullptr;
  Py_ssize_t records = 0, used = 0;
  int rc = without_gil(bo, [&](qef64_builder* b) {
    return add_run(b, r.data, r.len, &records, &used);
  });
  byte_arg_release(&r);
  if (rc != 0) return raise_builder(bo, rc);
  return Py_BuildValue("(nn)", records, used);
}

PyObject* builder_commit(PyObject* self, PyObject*) {
  builder_object* bo = as_builder(self);
  // Two fsyncs: other threads run meanwhile.
  int rc =
      without_gil(bo, [](qef64_builder* b) { return qef64_builder_commit(b); });
  if (rc == refused) return nullptr;
  bo->b = nullptr;  // freed, whatever the result
  bo->ended = rc == 0 ? "committed" : "failed";
  if (rc != 0) return raise_builder(bo, rc);
  Py_RETURN_NONE;
}

PyObject* builder_abort(PyObject* self, PyObject*) {
  builder_object* bo = as_builder(self);
  if (bo->b == nullptr) Py_RETURN_NONE;
  if (usable(bo) == -1) return nullptr;
  qef64_builder_abort(bo->b);
  bo->b = nullptr;
  bo->ended = "aborted";
  Py_RETURN_NONE;
}

PyDoc_STRVAR(add_doc,
             "add($self, key, value, /)\n--\n\n"
             "Append one record. key and value are bytes-like objects; the\n"
             "records of a key are found later in the order added.");
PyDoc_STRVAR(add_many_doc,
             "add_many($self, pairs, /)\n--\n\n"
             "Append a record for each (key, value) pair of the iterable\n"
             "pairs, in order. Other threads run while they are written.");
PyDoc_STRVAR(add_packed_doc,
             "add_packed($self, run, /)\n--\n\n"
             "Append the whole records at the front of run, packed as\n"
             "partition() packs them; return (records, bytes used). A record\n"
             "cut off by the end of run waits for the caller's next run.");
PyDoc_STRVAR(
    commit_doc,
    "commit($self, /)\n--\n\n"
    "Finish the database: written whole, made durable with fsync,\n"
    "renamed onto the path (readers see the old file or the new one),\n"
    "the directory synced. The builder is spent afterwards, also when\n"
    "commit fails, which leaves no temporary file and the path as is.");
PyDoc_STRVAR(abort_doc,
             "abort($self, /)\n--\n\n"
             "Give the build up: the temporary file is removed and the path\n"
             "left untouched. Nothing happens on a builder already spent.");

PyMethodDef builder_methods[] = {
    {"add", as_method(builder_add), METH_FASTCALL, add_doc},
    {"add_many", builder_add_many, METH_O, add_many_doc},
    {"add_packed", builder_add_packed, METH_O, add_packed_doc},
    {"commit", builder_commit, METH_NOARGS, commit_doc},
    {"abort", builder_abort, METH_NOARGS, abort_doc},
    {nullptr, nullptr, 0, nullptr}};

PyMemberDef builder_members[] = {
    {"_path", T_OBJECT, offsetof(builder_object, path), READONLY,
     "The path as given."},
    {"_ended", T_STRING, offsetof(builder_object, ended), READONLY,
     "None while open; then \"committed\", \"aborted\" or \"failed\"."},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot builder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(builder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(builder_dealloc)},
    {Py_tp_methods, builder_methods},
    {Py_tp_members, builder_members},
    {0, nullptr}};

PyType_Spec builder_type_def = {"qef64._qef64.Builder", sizeof(builder_object),
                                0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                                builder_slots};

}  // namespace

int add_builder_type(PyObject* module) {
  return add_type(module, &builder_type_def, "Builder") == nullptr ? -1 : 0;
}

}  // namespace qef64::python
