// The module qef64._qef64: its types, and the conversions that every call
// shares.

#include <cerrno>

#include "python/binding.h"

namespace qef64::python {

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

int record_args(PyObject* key, PyObject* value, byte_arg* k, byte_arg* v,
                bool hold) {
  if (byte_arg_get(key, k, "key", hold) == -1) return -1;
  if (byte_arg_get(value, v, "value", hold) == 0) return 0;
  byte_arg_release(k);
  return -1;
}

int pair_arg_get(PyObject* item, byte_arg* k, byte_arg* v) {
  PyObject* seq = PySequence_Fast(item, "");
  // An error of the item's own iteration goes on as it is.
  if (seq == nullptr && !PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
  if (seq == nullptr || PySequence_Fast_GET_SIZE(seq) != 2) {
    PyErr_Format(PyExc_TypeError,
                 "pairs must be (key, value) pairs, not '%.100s'",
                 Py_TYPE(item)->tp_name);
    Py_XDECREF(seq);
    return -1;
  }
  PyObject** both = PySequence_Fast_ITEMS(seq);
  int rc = record_args(both[0], both[1], k, v, true);
  Py_DECREF(seq);
  return rc;
}

PyObject* raise_result(int rc, PyObject* filename, const char* text) {
  // For EPROTO, the library's own: "not a database, or a damaged one".
  if (text == nullptr) text = qef64_strerror(rc);
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

PyObject* raise_closed() {
  PyErr_SetString(PyExc_ValueError, "operation on a closed database");
  return nullptr;
}

PyTypeObject* add_type(PyObject* module, PyType_Spec* spec, const char* name) {
  PyObject* type = PyType_FromSpec(spec);
  if (type == nullptr) return nullptr;
  // The module takes a reference of its own; ours lives with the process.
  Py_INCREF(type);
  if (PyModule_AddObject(module, name, type) == -1) {
    Py_DECREF(type);
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

namespace {

PyDoc_STRVAR(module_doc,
             "The C half of the package qef64; import qef64 instead.");

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "qef64._qef64",
                          module_doc,
                          -1,  // state in static variables: one per process
                          nullptr,
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
  if (PyModule_AddStringConstant(m, "__version__", qef64_version()) == -1 ||
      PyModule_AddIntMacro(m, QEF64_WARM_TABLES) == -1 ||
      PyModule_AddIntMacro(m, QEF64_WARM_ALL) == -1 ||
      PyModule_AddIntMacro(m, QEF64_WARM_BACKGROUND) == -1 ||
      PyModule_AddIntMacro(m, QEF64_LOCK_TABLES) == -1 ||
      add_database_types(m) == -1 || add_iterator_type(m) == -1 ||
      add_builder_types(m) == -1 || add_sharded_functions(m) == -1) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}
