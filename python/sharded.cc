// The routing of sharded sets' builds, for qef64.sharded and qef64.dask:
// the shard hash, and partition, which packs pairs for their shards.

#include <cstdint>
#include <cstring>

#include "python/binding.h"

namespace qef64::python {
namespace {

PyObject* py_shard_hash(PyObject*, PyObject* key) {
  byte_arg k;
  if (byte_arg_get(key, &k, "key", false) == -1) return nullptr;
  std::uint64_t h = qef64_shard_hash(k.data, static_cast<size_t>(k.len));
  byte_arg_release(&k);
  return PyLong_FromUnsignedLongLong(h);
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
  byte_arg k, v;
  if (pair_arg_get(item, &k, &v) == -1) return -1;
  // The package's one choice of a shard: the rule of qef64_set_get.
  auto m = static_cast<std::uint64_t>(PyTuple_GET_SIZE(runs));
  std::uint64_t h = qef64_shard_hash(k.data, static_cast<size_t>(k.len));
  int rc = pack(PyTuple_GET_ITEM(runs, static_cast<Py_ssize_t>(h % m)), k, v);
  byte_arg_release(&v);
  byte_arg_release(&k);
  return rc;
}

PyObject* partition(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "partition() takes pairs and a count");
    return nullptr;
  }
  Py_ssize_t m = PyNumber_AsSsize_t(args[1], PyExc_OverflowError);
  if (m < 1 && PyErr_Occurred() == nullptr)
    PyErr_SetString(PyExc_ValueError, "the shard count must be positive");
  PyObject* it = m < 1 ? nullptr : PyObject_GetIter(args[0]);
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

PyDoc_STRVAR(shard_hash_doc,
             "shard_hash($module, key, /)\n--\n\n"
             "The 64-bit hash whose remainder by the shard count is key's\n"
             "shard: FNV-1a and splitmix64's finaliser, as in qef64(5).");
PyDoc_STRVAR(partition_doc,
             "partition($module, pairs, shards, /)\n--\n\n"
             "(key, value) pairs packed for Builder.add_packed(), in order,\n"
             "in a tuple of one bytearray per shard.");

PyMethodDef sharded_functions[] = {
    {"shard_hash", py_shard_hash, METH_O, shard_hash_doc},
    {"partition", as_method(partition), METH_FASTCALL, partition_doc},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

int add_sharded_functions(PyObject* module) {
  return PyModule_AddFunctions(module, sharded_functions);
}

}  // namespace qef64::python
