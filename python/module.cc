// The module qef64._qef64: its functions, its types, and the conversions
// that every call shares.

#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "python/binding.h"

namespace qef64::python {

unsigned long forks_made = 0;

int byte_arg_get(PyObject* o, byte_arg* a, const char* what, bool hold) {
  a->held = nullptr;
  a->view.obj = nullptr;
  if (PyBytes_CheckExact(o)) {
    a->data = PyBytes_AS_STRING(o);
    a->len = PyBytes_GET_SIZE(o);
    if (hold) {
      Py_INCREF(o);
      a->held = o;
    }
    return 0;
  }
  if (PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError,
                 "a %s must be bytes, not str: encode it first, as in "
                 "%s.encode()",
                 what, what);
    return -1;
  }
  if (!PyObject_CheckBuffer(o)) {
    PyErr_Format(PyExc_TypeError,
                 "a %s must be a bytes-like object (bytes, bytearray, "
                 "memoryview, mmap, ...), not '%.100s'",
                 what, Py_TYPE(o)->tp_name);
    return -1;
  }
  if (PyObject_GetBuffer(o, &a->view, PyBUF_SIMPLE) == -1) {
    a->view.obj = nullptr;
    return -1;
  }
  a->data = static_cast<const char*>(a->view.buf);
  a->len = a->view.len;
  return 0;
}

void byte_arg_release(byte_arg* a) {
  Py_CLEAR(a->held);
  if (a->view.obj != nullptr) PyBuffer_Release(&a->view);
}

int path_arg_get(PyObject* arg, PyObject** path, PyObject** encoded) {
  *path = PyOS_FSPath(arg);
  if (*path == nullptr) return -1;
  *encoded = nullptr;
  if (PyUnicode_FSConverter(*path, encoded) == 0) {
    Py_CLEAR(*path);
    return -1;
  }
  return 0;
}

PyObject* raise_result(int rc, PyObject* filename) {
  // EPROTO's own text, "Protocol error", says nothing to someone who opened
  // a file.
  const char* text = rc == EPROTO ? "damaged database file (Protocol error)"
                                  : qef64_strerror(rc);
  PyObject* args = filename != nullptr
                       ? Py_BuildValue("(isO)", rc, text, filename)
                       : Py_BuildValue("(is)", rc, text);
  if (args == nullptr) return nullptr;
  // OSError(errno, text, filename) is what turns ENOENT into
  // FileNotFoundError and so on, as PyErr_SetFromErrno does.
  PyErr_SetObject(PyExc_OSError, args);
  Py_DECREF(args);
  return nullptr;
}

PyObject* raise_closed(const char* what) {
  PyErr_Format(PyExc_ValueError, "operation on a %s", what);
  return nullptr;
}

namespace {

PyDoc_STRVAR(open_doc,
             "open($module, path, /)\n--\n\n"
             "Open the database file at path (str, bytes or os.PathLike) and\n"
             "map it read-only; return a Database.\n\n"
             "Raises FileNotFoundError for a missing file, OSError with errno\n"
             "EPROTO for a file too short to be a database, and OSError with\n"
             "the system's errno for any other failure.");

PyDoc_STRVAR(build_doc,
             "build($module, path, pairs, /)\n--\n\n"
             "Build the database at path from pairs, any iterable of (key,\n"
             "value) pairs of bytes-like objects, in one call: the same as\n"
             "adding them to a Builder(path) and committing it. On any\n"
             "failure, the exception included, path is left untouched and no\n"
             "temporary file remains.");

// The cast through void (*)(void) tells the compiler that the different
// signature is on purpose: CPython calls the function by its flags.
template <typename F>
PyCFunction as_method(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyObject* shard_hash(PyObject*, PyObject* key) {
  byte_arg k;
  if (byte_arg_get(key, &k, "key", false) == -1) return nullptr;
  std::uint64_t h = qef64_shard_hash(k.data, static_cast<size_t>(k.len));
  byte_arg_release(&k);
  return PyLong_FromUnsignedLongLong(h);
}

// One growing run of packed records.
struct packed_run {
  char* bytes;
  Py_ssize_t len;
  Py_ssize_t capacity;
};

// Appends one packed record: 0, or -1 with MemoryError.
int pack(packed_run* run, const byte_arg& k, const byte_arg& v) {
  Py_ssize_t need = packed_head + k.len + v.len;
  if (run->capacity - run->len < need) {
    Py_ssize_t capacity = run->capacity < 4096 ? 4096 : run->capacity;
    while (capacity - run->len < need) {
      if (capacity > PY_SSIZE_T_MAX / 2) {
        PyErr_NoMemory();
        return -1;
      }
      capacity *= 2;
    }
    char* grown = static_cast<char*>(
        PyMem_Realloc(run->bytes, static_cast<size_t>(capacity)));
    if (grown == nullptr) {
      PyErr_NoMemory();
      return -1;
    }
    run->bytes = grown;
    run->capacity = capacity;
  }
  char* p = run->bytes + run->len;
  for (int i = 0; i < 8; i++) {
    p[i] = static_cast<char>(static_cast<std::uint64_t>(k.len) >> (8 * i));
    p[8 + i] = static_cast<char>(static_cast<std::uint64_t>(v.len) >> (8 * i));
  }
  if (k.len > 0)
    std::memcpy(p + packed_head, k.data, static_cast<size_t>(k.len));
  if (v.len > 0)
    std::memcpy(p + packed_head + k.len, v.data, static_cast<size_t>(v.len));
  run->len += need;
  return 0;
}

// Routes (key, value) pairs to shards: per shard, its records packed in
// the order they came.
int partition_pairs(PyObject* pairs, packed_run* runs, Py_ssize_t m) {
  PyObject* it = PyObject_GetIter(pairs);
  if (it == nullptr) return -1;
  int rc = 0;
  while (PyObject* item = PyIter_Next(it)) {
    PyObject* seq = PySequence_Fast(item, "pairs must be (key, value) pairs");
    Py_DECREF(item);
    if (seq == nullptr) {
      rc = -1;
      break;
    }
    byte_arg k, v;
    rc = PySequence_Fast_GET_SIZE(seq) == 2 ? 0 : -1;
    if (rc == -1) {
      PyErr_SetString(PyExc_TypeError, "pairs must be (key, value) pairs");
    } else if ((rc = byte_arg_get(PySequence_Fast_GET_ITEM(seq, 0), &k, "key",
                                  false)) == 0) {
      if ((rc = byte_arg_get(PySequence_Fast_GET_ITEM(seq, 1), &v, "value",
                             false)) == 0) {
        auto s = static_cast<Py_ssize_t>(
            qef64_shard_hash(k.data, static_cast<size_t>(k.len)) %
            static_cast<size_t>(m));
        rc = pack(&runs[s], k, v);
        byte_arg_release(&v);
      }
      byte_arg_release(&k);
    }
    Py_DECREF(seq);
    if (rc == -1) break;
  }
  Py_DECREF(it);
  return rc == -1 || PyErr_Occurred() != nullptr ? -1 : 0;
}

PyObject* partition(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "partition() takes pairs and a count");
    return nullptr;
  }
  Py_ssize_t m = PyNumber_AsSsize_t(args[1], PyExc_OverflowError);
  if (m == -1 && PyErr_Occurred()) return nullptr;
  if (m < 1) {
    PyErr_SetString(PyExc_ValueError, "the shard count must be positive");
    return nullptr;
  }
  auto* runs = static_cast<packed_run*>(
      PyMem_Calloc(static_cast<size_t>(m), sizeof(packed_run)));
  if (runs == nullptr) return PyErr_NoMemory();
  PyObject* result = nullptr;
  if (partition_pairs(args[0], runs, m) == 0) result = PyTuple_New(m);
  for (Py_ssize_t s = 0; result != nullptr && s < m; s++) {
    PyObject* b = PyBytes_FromStringAndSize(runs[s].bytes, runs[s].len);
    if (b == nullptr)
      Py_CLEAR(result);
    else
      PyTuple_SET_ITEM(result, s, b);
  }
  for (Py_ssize_t s = 0; s < m; s++)
    PyMem_Free(runs[s].bytes);
  PyMem_Free(runs);
  return result;
}

PyDoc_STRVAR(shard_hash_doc,
             "shard_hash($module, key, /)\n--\n\n"
             "The 64-bit hash that places key in a sharded set: its records\n"
             "are in shard shard_hash(key) % shard_count. FNV-1a, then the\n"
             "splitmix64 finaliser; see qef64(5) for the definition and test\n"
             "vectors.");
PyDoc_STRVAR(partition_doc,
             "partition($module, pairs, shards, /)\n--\n\n"
             "Route (key, value) pairs to shards by shard_hash: a tuple of\n"
             "shards bytes objects, each the records of one shard packed in\n"
             "the order they came, for Builder.add_packed().");
PyDoc_STRVAR(get_many_sharded_doc,
             "get_many_sharded($module, shards, keys, /)\n--\n\n"
             "The first record of each key, or None, from the tuple of\n"
             "Databases shards of a sharded set, each key in the shard its\n"
             "shard hash names: one batched call, without the GIL.");

PyMethodDef module_methods[] = {
    {"open", open_database, METH_O, open_doc},
    {"build", as_method(build_database), METH_FASTCALL, build_doc},
    {"shard_hash", shard_hash, METH_O, shard_hash_doc},
    {"partition", as_method(partition), METH_FASTCALL, partition_doc},
    {"get_many_sharded", as_method(get_many_sharded), METH_FASTCALL,
     get_many_sharded_doc},
    {nullptr, nullptr, 0, nullptr}};

PyDoc_STRVAR(module_doc,
             "The C extension behind the package qef64; import qef64 instead.");

// Runs in the child of every fork(), os.fork() included, with one thread.
void count_fork() {
  forks_made++;
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "qef64._qef64",
                          module_doc,
                          -1,  // state in static variables: one per process
                          module_methods,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace
}  // namespace qef64::python

// The name is CPython's: PyInit_ and the module's name.
// NOLINTNEXTLINE(bugprone-reserved-identifier,readability-identifier-naming)
PyMODINIT_FUNC PyInit__qef64(void) {
  using namespace qef64::python;
  PyObject* m = PyModule_Create(&module_def);
  if (m == nullptr) return nullptr;
  if (pthread_atfork(nullptr, nullptr, count_fork) != 0) {
    Py_DECREF(m);
    return PyErr_NoMemory();
  }
  if (PyModule_AddStringConstant(m, "__version__", qef64_version()) == -1 ||
      add_database_types(m) == -1 || add_builder_type(m) == -1) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}
