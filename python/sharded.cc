// The batches of sharded sets, for qef64.sharded and qef64.dask: the shard
// of a key, the routing of pairs to shards (partition), and the lookup of
// many keys over every shard in one batch (get_many_sharded).

#include <cstdint>
#include <cstring>

#include "python/binding.h"

namespace qef64::python {

size_t shard_of(const void* key, size_t key_len, size_t count) {
  return static_cast<size_t>(qef64_shard_hash(key, key_len) % count);
}

namespace {

// A shard count argument: at least 1, or -1 with an exception.
Py_ssize_t shard_count_arg(PyObject* o) {
  Py_ssize_t m = PyNumber_AsSsize_t(o, PyExc_OverflowError);
  if (m == -1 && PyErr_Occurred()) return -1;
  if (m >= 1) return m;
  PyErr_SetString(PyExc_ValueError, "the shard count must be positive");
  return -1;
}

PyObject* py_shard_hash(PyObject*, PyObject* key) {
  byte_arg k;
  if (byte_arg_get(key, &k, "key", false) == -1) return nullptr;
  std::uint64_t h = qef64_shard_hash(k.data, static_cast<size_t>(k.len));
  byte_arg_release(&k);
  return PyLong_FromUnsignedLongLong(h);
}

PyObject* py_shard_of(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "shard_of() takes a key and a count");
    return nullptr;
  }
  Py_ssize_t m = shard_count_arg(args[1]);
  byte_arg k;
  if (m == -1 || byte_arg_get(args[0], &k, "key", false) == -1) return nullptr;
  size_t s =
      shard_of(k.data, static_cast<size_t>(k.len), static_cast<size_t>(m));
  byte_arg_release(&k);
  return PyLong_FromSize_t(s);
}

// Appends one packed record to run, a bytearray, whose room beyond its
// size makes the growth amortised: 0, or -1 with an exception.
int pack(PyObject* run, const byte_arg& k, const byte_arg& v) {
  Py_ssize_t at = PyByteArray_GET_SIZE(run);
  // Each length is an object's in memory: the sum fits.
  if (PyByteArray_Resize(run, at + packed_head + k.len + v.len) == -1)
    return -1;
  char* p = PyByteArray_AS_STRING(run) + at;
  for (int i = 0; i < 8; i++) {
    p[i] = static_cast<char>(static_cast<std::uint64_t>(k.len) >> (8 * i));
    p[8 + i] = static_cast<char>(static_cast<std::uint64_t>(v.len) >> (8 * i));
  }
  if (k.len > 0)
    std::memcpy(p + packed_head, k.data, static_cast<size_t>(k.len));
  if (v.len > 0)
    std::memcpy(p + packed_head + k.len, v.data, static_cast<size_t>(v.len));
  return 0;
}

// Routes one (key, value) pair to its shard's run in the tuple runs: 0, or
// -1 with an exception.
int route(PyObject* item, PyObject* runs) {
  PyObject* seq = PySequence_Fast(item, "pairs must be (key, value) pairs");
  if (seq == nullptr) return -1;
  byte_arg k, v;
  int rc = -1;
  if (PySequence_Fast_GET_SIZE(seq) != 2) {
    PyErr_SetString(PyExc_TypeError, "pairs must be (key, value) pairs");
  } else if (byte_arg_get(PySequence_Fast_GET_ITEM(seq, 0), &k, "key", false) ==
             0) {
    if (byte_arg_get(PySequence_Fast_GET_ITEM(seq, 1), &v, "value", false) ==
        0) {
      auto m = static_cast<size_t>(PyTuple_GET_SIZE(runs));
      size_t s = shard_of(k.data, static_cast<size_t>(k.len), m);
      rc = pack(PyTuple_GET_ITEM(runs, s), k, v);
      byte_arg_release(&v);
    }
    byte_arg_release(&k);
  }
  Py_DECREF(seq);
  return rc;
}

PyObject* partition(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "partition() takes pairs and a count");
    return nullptr;
  }
  Py_ssize_t m = shard_count_arg(args[1]);
  PyObject* it = m == -1 ? nullptr : PyObject_GetIter(args[0]);
  if (it == nullptr) return nullptr;
  PyObject* runs = PyTuple_New(m);
  for (Py_ssize_t s = 0; runs != nullptr && s < m; s++) {
    PyObject* run = PyByteArray_FromStringAndSize(nullptr, 0);
    if (run == nullptr)
      Py_CLEAR(runs);
    else
      PyTuple_SET_ITEM(runs, s, run);
  }
  while (runs != nullptr) {
    PyObject* item = PyIter_Next(it);
    if (item == nullptr) {
      if (PyErr_Occurred() != nullptr) Py_CLEAR(runs);
      break;
    }
    if (route(item, runs) == -1) Py_CLEAR(runs);
    Py_DECREF(item);
  }
  Py_DECREF(it);
  return runs;
}

// The shards of a set in one lookup: holding the list holds every shard.
struct shard_list {
  PyObject* shards;  // a tuple of Databases
  Py_ssize_t count;
  const qef64_db** handles;  // each shard's, while held
  const qef64_db** dbs;      // each key's of a chunk
};

const qef64_db* const* hold(shard_list* list) {
  for (Py_ssize_t s = 0; s < list->count; s++) {
    PyObject* o = PyTuple_GET_ITEM(list->shards, s);
    if (!PyObject_TypeCheck(o, database_type)) {
      PyErr_Format(PyExc_TypeError, "shards must be Databases, not '%.100s'",
                   Py_TYPE(o)->tp_name);
    } else {
      list->handles[s] = hold(reinterpret_cast<database_object*>(o));
      if (list->handles[s] != nullptr) continue;
    }
    while (s-- > 0)
      release(reinterpret_cast<database_object*>(
          PyTuple_GET_ITEM(list->shards, s)));
    return nullptr;
  }
  return list->handles;
}

void release(shard_list* list) {
  for (Py_ssize_t s = 0; s < list->count; s++)
    release(
        reinterpret_cast<database_object*>(PyTuple_GET_ITEM(list->shards, s)));
}

int look_up_sharded(void* context, const lookup_batch& b, bool unlocked) {
  auto* list = static_cast<shard_list*>(context);
  auto work = [list, &b](const qef64_db* const* handles) {
    auto m = static_cast<size_t>(list->count);
    for (Py_ssize_t i = 0; i < b.n; i++)
      list->dbs[i] = handles[shard_of(b.keys[i], b.key_lens[i], m)];
    return qef64_get_many_in(list->dbs, static_cast<size_t>(b.n), b.keys,
                             b.key_lens, b.data, b.data_lens);
  };
  return unlocked ? without_gil(list, work) : work(list->handles);
}

PyObject* get_many_sharded(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyTuple_Check(args[0]) || PyTuple_GET_SIZE(args[0]) < 1) {
    PyErr_SetString(PyExc_TypeError,
                    "get_many_sharded() takes a tuple of Databases and keys");
    return nullptr;
  }
  shard_list list{args[0], PyTuple_GET_SIZE(args[0]), nullptr, nullptr};
  PyObject* keys = PySequence_Tuple(args[1]);
  if (keys == nullptr) return nullptr;
  // Each shard's handle, then each key's of one chunk.
  void* block = PyMem_Malloc(static_cast<size_t>(list.count + chunk_keys) *
                             sizeof(qef64_db*));
  list.handles = static_cast<const qef64_db**>(block);
  list.dbs = list.handles + list.count;
  PyObject* result = nullptr;
  if (block == nullptr) {
    PyErr_NoMemory();
  } else if (hold(&list) != nullptr) {
    // Held for the whole call: the records are copied after the lookups.
    result = look_up_chunks(keys, nullptr, look_up_sharded, &list);
    release(&list);
  }
  PyMem_Free(block);
  Py_DECREF(keys);
  return result;
}

PyDoc_STRVAR(shard_hash_doc,
             "shard_hash($module, key, /)\n--\n\n"
             "The 64-bit hash that places key in a sharded set: its records\n"
             "are in shard shard_hash(key) % shard_count. FNV-1a, then the\n"
             "splitmix64 finaliser, as qef64(5) defines it.");
PyDoc_STRVAR(shard_of_doc,
             "shard_of($module, key, count, /)\n--\n\n"
             "The shard of a set of count shards that holds key's records.");
PyDoc_STRVAR(partition_doc,
             "partition($module, pairs, shards, /)\n--\n\n"
             "(key, value) pairs packed for Builder.add_packed(), in order,\n"
             "in a tuple of one bytearray per shard.");
PyDoc_STRVAR(get_many_sharded_doc,
             "get_many_sharded($module, shards, keys, /)\n--\n\n"
             "get_many() over a tuple of the Databases of a sharded set.");

PyMethodDef sharded_functions[] = {
    {"shard_hash", py_shard_hash, METH_O, shard_hash_doc},
    {"shard_of", as_method(py_shard_of), METH_FASTCALL, shard_of_doc},
    {"partition", as_method(partition), METH_FASTCALL, partition_doc},
    {"get_many_sharded", as_method(get_many_sharded), METH_FASTCALL,
     get_many_sharded_doc},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

int add_sharded_functions(PyObject* module) {
  return PyModule_AddFunctions(module, sharded_functions);
}

}  // namespace qef64::python
