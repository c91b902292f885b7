// The module qef64._qef64: its functions, its types, and the conversions
// that every call shares.

#include <pthread.h>

#include <cerrno>

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

PyMethodDef module_methods[] = {
    {"open", open_database, METH_O, open_doc},
    {"build", as_method(build_database), METH_FASTCALL, build_doc},
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
