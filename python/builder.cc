// qef64.Builder and qef64.build: a database written into a temporary file
// beside its path and put in place, durable, by commit(); abort() or an
// exception in a `with` block removes the temporary file and leaves the
// path as it was.
//
// The C builder serves one thread at a time, so the calls that run without
// the GIL mark the builder busy and every other call refuses while it is.
// A builder inherited by a fork child refuses in the child: the child's
// copy can only be given up, which the C interface does without touching
// the parent's temporary file.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "python/binding.h"

namespace qef64::python {

PyTypeObject* builder_type;

namespace {

// add_many takes this many pairs out of Python with the GIL, then adds them
// without it.
constexpr Py_ssize_t chunk_pairs = 1024;
// add() adds a record this large without the GIL: its bytes go to the file
// in several writes.
constexpr Py_ssize_t gil_free_record = Py_ssize_t{64} * 1024;

builder_object* as_builder(PyObject* o) {
  return reinterpret_cast<builder_object*>(o);
}

// 0 when this thread may use the builder now; -1 with an exception.
int usable(builder_object* bo) {
  if (bo->b == nullptr) {
    PyErr_Format(PyExc_ValueError, "operation on a Builder already %s",
                 bo->ended);
    return -1;
  }
  if (bo->forks != forks_made) {
    PyObject* args =
        Py_BuildValue("(isO)", EBUSY,
                      "this Builder belongs to the process that opened it; "
                      "a process forked from that one cannot add to it or "
                      "commit it",
                      bo->path);
    if (args != nullptr) {
      PyErr_SetObject(PyExc_OSError, args);
      Py_DECREF(args);
    }
    return -1;
  }
  if (bo->busy) {
    PyErr_SetString(PyExc_RuntimeError,
                    "the Builder is in use by another thread");
    return -1;
  }
  return 0;
}

PyObject* builder_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* keywords[] = {"path", "memory", nullptr};
  PyObject* path_arg;
  PyObject* memory_arg = Py_None;
  if (PyArg_ParseTupleAndKeywords(args, kwds, "O|$O:Builder",
                                  const_cast<char**>(keywords), &path_arg,
                                  &memory_arg) == 0)
    return nullptr;
  unsigned long long memory = 0;
  if (memory_arg != Py_None) {
    memory = PyLong_AsUnsignedLongLong(memory_arg);
    if (memory == static_cast<unsigned long long>(-1) && PyErr_Occurred())
      return nullptr;
  }
  PyObject *path, *encoded;
  if (path_arg_get(path_arg, &path, &encoded) == -1) return nullptr;
  const char* name = PyBytes_AS_STRING(encoded);
  qef64_builder* b = nullptr;
  int rc;
  PyThreadState* unlocked = PyEval_SaveThread();
  rc = qef64_builder_open(name, &b);
  if (rc == 0 && memory_arg != Py_None) {
    rc = qef64_builder_set_memory(b, memory);
    if (rc != 0) {
      qef64_builder_abort(b);
      b = nullptr;
    }
  }
  PyEval_RestoreThread(unlocked);
  Py_DECREF(encoded);
  if (rc != 0) {
    raise_result(rc, path);
    Py_DECREF(path);
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);  // zeroed
  if (self == nullptr) {
    qef64_builder_abort(b);
    Py_DECREF(path);
    return nullptr;
  }
  builder_object* bo = as_builder(self);
  bo->b = b;
  bo->path = path;
  bo->forks = forks_made;
  return self;
}

void builder_dealloc(PyObject* self) {
  builder_object* bo = as_builder(self);
  PyTypeObject* type = Py_TYPE(self);
  // Never committed: the build is given up. In a fork child this frees the
  // child's copy and leaves the parent's temporary file alone.
  if (bo->b != nullptr) qef64_builder_abort(bo->b);
  Py_XDECREF(bo->path);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* builder_repr(PyObject* self) {
  builder_object* bo = as_builder(self);
  return PyUnicode_FromFormat("<qef64.Builder %R %s>", bo->path,
                              bo->b != nullptr ? "open" : bo->ended);
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
  int rc = 0;
  bool failed = usable(bo) == -1;
  if (!failed && k.len + v.len >= gil_free_record) {
    qef64_builder* b = bo->b;
    bo->busy = true;
    PyThreadState* unlocked = PyEval_SaveThread();
    rc = qef64_builder_add(b, k.data, static_cast<size_t>(k.len), v.data,
                           static_cast<size_t>(v.len));
    PyEval_RestoreThread(unlocked);
    bo->busy = false;
  } else if (!failed) {
    rc = qef64_builder_add(bo->b, k.data, static_cast<size_t>(k.len), v.data,
                           static_cast<size_t>(v.len));
  }
  byte_arg_release(&v);
  byte_arg_release(&k);
  if (failed) return nullptr;
  if (rc != 0) return raise_result(rc, bo->path);
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

// Adds n pairs without the GIL: 0, or -1 with an exception.
int add_chunk(builder_object* bo, const byte_arg* chunk, Py_ssize_t n) {
  // The pairs' own code (a generator, a buffer) may have committed the
  // builder meanwhile, or another thread taken it.
  if (usable(bo) == -1) return -1;
  int rc = 0;
  qef64_builder* b = bo->b;
  bo->busy = true;
  PyThreadState* unlocked = PyEval_SaveThread();
  for (Py_ssize_t i = 0; i < n && rc == 0; i++) {
    const byte_arg& k = chunk[2 * i];
    const byte_arg& v = chunk[2 * i + 1];
    rc = qef64_builder_add(b, k.data, static_cast<size_t>(k.len), v.data,
                           static_cast<size_t>(v.len));
  }
  PyEval_RestoreThread(unlocked);
  bo->busy = false;
  if (rc == 0) return 0;
  raise_result(rc, bo->path);
  return -1;
}

PyObject* builder_add_many(PyObject* self, PyObject* pairs) {
  builder_object* bo = as_builder(self);
  if (usable(bo) == -1) return nullptr;
  PyObject* it = PyObject_GetIter(pairs);
  if (it == nullptr) return nullptr;
  auto* chunk = static_cast<byte_arg*>(
      PyMem_Malloc(2 * static_cast<size_t>(chunk_pairs) * sizeof(byte_arg)));
  bool failed = chunk == nullptr;
  if (failed) PyErr_NoMemory();
  for (bool more = !failed; more;) {
    Py_ssize_t n = 0;
    while (n < chunk_pairs) {
      PyObject* item = PyIter_Next(it);
      if (item == nullptr) {
        failed = PyErr_Occurred() != nullptr;
        more = false;
        break;
      }
      int rc = take_pair(item, &chunk[2 * n], &chunk[2 * n + 1]);
      Py_DECREF(item);
      if (rc == -1) {
        failed = true;
        more = false;
        break;
      }
      n++;
    }
    if (!failed && n > 0 && add_chunk(bo, chunk, n) == -1) {
      failed = true;
      more = false;
    }
    for (Py_ssize_t i = 0; i < 2 * n; i++)
      byte_arg_release(&chunk[i]);
  }
  PyMem_Free(chunk);
  Py_DECREF(it);
  if (failed) return nullptr;
  Py_RETURN_NONE;
}

// Adds the packed records of one run without the GIL: their count, or -1
// with *rc the failure (EINVAL for records that do not fit the run).
Py_ssize_t add_run(qef64_builder* b, const char* p, Py_ssize_t len, int* rc) {
  Py_ssize_t added = 0;
  while (len > 0) {
    std::uint64_t k = 0, v = 0;
    if (len < packed_head) break;
    for (int i = 7; i >= 0; i--) {
      k = (k << 8) | static_cast<unsigned char>(p[i]);
      v = (v << 8) | static_cast<unsigned char>(p[8 + i]);
    }
    auto room = static_cast<std::uint64_t>(len - packed_head);
    if (k > room || v > room - k) break;
    *rc = qef64_builder_add(b, p + packed_head, static_cast<size_t>(k),
                            p + packed_head + k, static_cast<size_t>(v));
    if (*rc != 0) return -1;
    Py_ssize_t step = packed_head + static_cast<Py_ssize_t>(k + v);
    p += step;
    len -= step;
    added++;
  }
  if (len == 0) return added;
  *rc = EINVAL;
  return -1;
}

PyObject* builder_add_packed(PyObject* self, PyObject* run) {
  builder_object* bo = as_builder(self);
  byte_arg r;
  if (byte_arg_get(run, &r, "packed run", true) == -1) return nullptr;
  if (usable(bo) == -1) {
    byte_arg_release(&r);
    return nullptr;
  }
  int rc = 0;
  qef64_builder* b = bo->b;
  bo->busy = true;
  PyThreadState* unlocked = PyEval_SaveThread();
  Py_ssize_t added = add_run(b, r.data, r.len, &rc);
  PyEval_RestoreThread(unlocked);
  bo->busy = false;
  byte_arg_release(&r);
  if (added == -1 && rc == EINVAL) {
    PyErr_SetString(PyExc_ValueError,
                    "add_packed() takes records as partition() packs them");
    return nullptr;
  }
  if (added == -1) return raise_result(rc, bo->path);
  return PyLong_FromSsize_t(added);
}

// Adds the packed records of the file at path without the GIL, read in
// pieces of at least packed_read bytes: their count, or -1 with *rc the
// failure (an errno; EINVAL for a file that is not packed records).
constexpr Py_ssize_t packed_read = Py_ssize_t{4} << 20;

Py_ssize_t add_file(qef64_builder* b, const char* path, int* rc) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd == -1) {
    *rc = errno;
    return -1;
  }
  Py_ssize_t capacity = packed_read, held = 0, added = 0;
  char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(capacity)));
  *rc = buf == nullptr ? ENOMEM : 0;
  for (bool end = false; *rc == 0 && !end;) {
    ssize_t got = ::read(fd, buf + held, static_cast<size_t>(capacity - held));
    if (got == -1) {
      if (errno != EINTR) *rc = errno;
      continue;
    }
    end = got == 0;
    held += got;
    // The whole records at the front; a record cut by the read waits.
    Py_ssize_t whole = 0;
    while (held - whole >= packed_head) {
      std::uint64_t k = 0, v = 0;
      for (int i = 7; i >= 0; i--) {
        k = (k << 8) | static_cast<unsigned char>(buf[whole + i]);
        v = (v << 8) | static_cast<unsigned char>(buf[whole + 8 + i]);
      }
      auto room = static_cast<std::uint64_t>(held - whole - packed_head);
      if (k > room || v > room - k) {
        // A record longer than the buffer: room for it at the next read.
        if (whole == 0 && held == capacity) {
          std::uint64_t need = packed_head + k + v;
          char* grown = need > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)
                            ? nullptr
                            : static_cast<char*>(std::realloc(buf, need));
          if (grown == nullptr) *rc = ENOMEM;
          buf = grown == nullptr ? buf : grown;
          capacity = static_cast<Py_ssize_t>(need);
        }
        break;
      }
      Py_ssize_t step = packed_head + static_cast<Py_ssize_t>(k + v);
      int r = 0;
      if (add_run(b, buf + whole, step, &r) == -1) *rc = r;
      if (*rc != 0) break;
      whole += step;
      added++;
    }
    std::memmove(buf, buf + whole, static_cast<size_t>(held - whole));
    held -= whole;
  }
  if (*rc == 0 && held != 0) *rc = EINVAL;
  std::free(buf);
  (void)::close(fd);  // read only: nothing to lose
  return *rc == 0 ? added : -1;
}

PyObject* builder_add_packed_file(PyObject* self, PyObject* path_arg) {
  builder_object* bo = as_builder(self);
  PyObject* encoded = nullptr;
  if (PyUnicode_FSConverter(path_arg, &encoded) == 0) return nullptr;
  if (usable(bo) == -1) {
    Py_DECREF(encoded);
    return nullptr;
  }
  int rc = 0;
  qef64_builder* b = bo->b;
  bo->busy = true;
  PyThreadState* unlocked = PyEval_SaveThread();
  Py_ssize_t added = add_file(b, PyBytes_AS_STRING(encoded), &rc);
  PyEval_RestoreThread(unlocked);
  bo->busy = false;
  PyObject* result = nullptr;
  if (added != -1) {
    result = PyLong_FromSsize_t(added);
  } else if (rc == EINVAL) {
    PyErr_Format(PyExc_ValueError,
                 "add_packed_file(): %R is not packed records", path_arg);
  } else {
    PyObject* filename = PyUnicode_DecodeFSDefault(PyBytes_AS_STRING(encoded));
    raise_result(rc, filename);
    Py_XDECREF(filename);
  }
  Py_DECREF(encoded);
  return result;
}

PyObject* builder_commit(PyObject* self, PyObject*) {
  builder_object* bo = as_builder(self);
  if (usable(bo) == -1) return nullptr;
  qef64_builder* b = bo->b;
  int rc;
  bo->busy = true;
  // Two fsyncs: other threads run meanwhile.
  PyThreadState* unlocked = PyEval_SaveThread();
  rc = qef64_builder_commit(b);
  PyEval_RestoreThread(unlocked);
  bo->busy = false;
  bo->b = nullptr;  // freed, whatever the result
  bo->ended = rc == 0 ? "committed" : "failed";
  if (rc != 0) return raise_result(rc, bo->path);
  Py_RETURN_NONE;
}

PyObject* builder_abort(PyObject* self, PyObject*) {
  builder_object* bo = as_builder(self);
  if (bo->b == nullptr) Py_RETURN_NONE;
  if (bo->busy) {
    PyErr_SetString(PyExc_RuntimeError,
                    "the Builder is in use by another thread");
    return nullptr;
  }
  qef64_builder_abort(bo->b);
  bo->b = nullptr;
  bo->ended = "aborted";
  Py_RETURN_NONE;
}

PyObject* builder_enter(PyObject* self, PyObject*) {
  if (usable(as_builder(self)) == -1) return nullptr;
  Py_INCREF(self);
  return self;
}

PyObject* builder_exit(PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs) {
  builder_object* bo = as_builder(self);
  // Committed or aborted inside the block already: nothing is left to do.
  if (bo->b == nullptr) Py_RETURN_FALSE;
  PyObject* done = nargs > 0 && args[0] != Py_None
                       ? builder_abort(self, nullptr)
                       : builder_commit(self, nullptr);
  if (done == nullptr) return nullptr;
  Py_DECREF(done);
  Py_RETURN_FALSE;  // an exception of the block goes on
}

PyObject* builder_reduce(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "a Builder cannot be pickled: it is one process's file");
  return nullptr;
}

template <typename F>
PyCFunction as_method(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyDoc_STRVAR(add_doc,
             "add($self, key, value, /)\n--\n\n"
             "Append one record. key and value are bytes-like objects; the\n"
             "records of a key are found later in the order added.");
PyDoc_STRVAR(add_many_doc,
             "add_many($self, pairs, /)\n--\n\n"
             "Append a record for each (key, value) pair of pairs, any\n"
             "iterable, in order. Other threads run while the records are\n"
             "written.");
PyDoc_STRVAR(add_packed_doc,
             "add_packed($self, run, /)\n--\n\n"
             "Append the records of one run that qef64.partition() packed, in\n"
             "order, without the GIL; return their number. A run that is not\n"
             "packed records raises ValueError, after the records before the\n"
             "damage.");
PyDoc_STRVAR(add_packed_file_doc,
             "add_packed_file($self, path, /)\n--\n\n"
             "Append the packed records of the file at path, as runs of\n"
             "qef64.partition() written one after the other, in order and\n"
             "without the GIL; return their number.");
PyDoc_STRVAR(commit_doc,
             "commit($self, /)\n--\n\n"
             "Finish the database and put it in place: the file is written\n"
             "whole, made durable with fsync, renamed onto the path (readers\n"
             "see the old file or the new one) and the directory synced. The\n"
             "builder is spent afterwards, also when commit fails; then the\n"
             "temporary file is gone and the path untouched.");
PyDoc_STRVAR(abort_doc,
             "abort($self, /)\n--\n\n"
             "Give the build up: the temporary file is removed and the path\n"
             "left untouched. Nothing happens on a builder already spent.");
PyDoc_STRVAR(enter_doc, "__enter__($self, /)\n--\n\nReturn the builder.");
PyDoc_STRVAR(exit_doc,
             "__exit__($self, *exc_info, /)\n--\n\n"
             "Commit when the block ended normally, abort when it raised;\n"
             "the exception goes on.");
PyDoc_STRVAR(reduce_doc,
             "__reduce__($self, /)\n--\n\nRefused: a Builder cannot be "
             "pickled.");

PyMethodDef builder_methods[] = {
    {"add", as_method(builder_add), METH_FASTCALL, add_doc},
    {"add_many", builder_add_many, METH_O, add_many_doc},
    {"add_packed", builder_add_packed, METH_O, add_packed_doc},
    {"add_packed_file", builder_add_packed_file, METH_O, add_packed_file_doc},
    {"commit", builder_commit, METH_NOARGS, commit_doc},
    {"abort", builder_abort, METH_NOARGS, abort_doc},
    {"__enter__", builder_enter, METH_NOARGS, enter_doc},
    {"__exit__", as_method(builder_exit), METH_FASTCALL, exit_doc},
    {"__reduce__", builder_reduce, METH_NOARGS, reduce_doc},
    {nullptr, nullptr, 0, nullptr}};

PyDoc_STRVAR(
    builder_doc,
    "Builder(path, *, memory=None)\n--\n\n"
    "A new database for path, written into a temporary file in the\n"
    "same directory: one without a name until commit() where the file\n"
    "system can make one, \".NAME.tmp.*\" elsewhere. Beyond memory\n"
    "bytes (default 64 MiB), its index spills to another nameless file\n"
    "there, whatever the number of records. The database is the\n"
    "same, byte for byte, as qef64make builds from the same records.\n\n"
    "    with qef64.Builder(path) as b:\n"
    "        b.add(key, value)\n"
    "        b.add_many(pairs)\n\n"
    "commits at the end of the block and aborts when the block\n"
    "raises. When path names a file already, the new one keeps its\n"
    "permission bits. A builder is used by one thread at a time, and\n"
    "only by the process that made it: in a child process after\n"
    "fork(), add() and commit() raise OSError (EBUSY) and the parent's\n"
    "build is left alone.");

PyType_Slot builder_slots[] = {
    {Py_tp_doc, const_cast<char*>(builder_doc)},
    {Py_tp_new, reinterpret_cast<void*>(builder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(builder_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(builder_repr)},
    {Py_tp_methods, builder_methods},
    {0, nullptr}};

PyType_Spec builder_type_def = {"qef64.Builder", sizeof(builder_object), 0,
                                Py_TPFLAGS_DEFAULT, builder_slots};

}  // namespace

PyObject* build_database(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "build() takes a path and the pairs");
    return nullptr;
  }
  PyObject* self =
      PyObject_CallOneArg(reinterpret_cast<PyObject*>(builder_type), args[0]);
  if (self == nullptr) return nullptr;
  PyObject* done = builder_add_many(self, args[1]);
  if (done == nullptr) {
    // Abort under the pending exception, which goes on.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Py_XDECREF(builder_abort(self, nullptr));
    PyErr_Restore(type, value, traceback);
  } else {
    Py_DECREF(done);
    done = builder_commit(self, nullptr);
  }
  Py_DECREF(self);
  return done;
}

int add_builder_type(PyObject* module) {
  PyObject* type = PyType_FromSpec(&builder_type_def);
  if (type == nullptr) return -1;
  builder_type = reinterpret_cast<PyTypeObject*>(type);
  Py_INCREF(type);
  if (PyModule_AddObject(module, "Builder", type) == -1) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

}  // namespace qef64::python
