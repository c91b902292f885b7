// qef64.RecordIterator: one walk over every record of a Database or a
// ShardedDatabase in file order. Only they make one (iter(db), and db._walk
// for the views): the type cannot be called, as what it made would have no
// database.

#include "python/binding.h"

namespace qef64::python {
namespace {

PyTypeObject* iterator_type;

struct iterator_object {
  PyObject ob_base;
  PyObject* owner;  // the database, referenced
  walk_step step;
  qef64_iter it;
  walk what;
};

iterator_object* as_iterator(PyObject* o) {
  return reinterpret_cast<iterator_object*>(o);
}

void iterator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_DECREF(as_iterator(self)->owner);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* iterator_next(PyObject* self) {
  iterator_object* it = as_iterator(self);
  const void *key, *data;
  size_t key_len, data_len;
  int rc = it->step(it->owner, &it->it, &key, &key_len, &data, &data_len);
  if (rc != 0) return nullptr;  // StopIteration at QEF64_NOTFOUND
  if (it->what == walk::keys) return bytes_of(key, key_len);
  if (it->what == walk::values) return bytes_of(data, data_len);
  // Both bytes are made before the tuple, whose allocation may collect
  // garbage, and with it run code that closes the database.
  PyObject* k = bytes_of(key, key_len);
  PyObject* v = k == nullptr ? nullptr : bytes_of(data, data_len);
  PyObject* pair = v == nullptr ? nullptr : PyTuple_Pack(2, k, v);
  Py_XDECREF(k);
  Py_XDECREF(v);
  return pair;
}

PyDoc_STRVAR(iterator_doc,
             "One walk over every record of a database in file order, giving\n"
             "keys, values or (key, value) pairs of bytes; ValueError once it\n"
             "is closed. Made by iter(db) and the views, never called.");

PyType_Slot iterator_slots[] = {
    {Py_tp_doc, const_cast<char*>(iterator_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {0, nullptr}};

PyType_Spec iterator_type_def = {"qef64.RecordIterator",
                                 sizeof(iterator_object), 0, Py_TPFLAGS_DEFAULT,
                                 iterator_slots};

}  // namespace

PyObject* new_iterator(PyObject* owner, walk_step step, walk what) {
  PyObject* o = iterator_type->tp_alloc(iterator_type, 0);
  if (o == nullptr) return nullptr;
  Py_INCREF(owner);
  iterator_object* it = as_iterator(o);
  it->owner = owner;
  it->step = step;
  it->it = QEF64_ITER_INIT;
  it->what = what;
  return o;
}

int add_iterator_type(PyObject* module) {
  iterator_type = add_type(module, &iterator_type_def, "RecordIterator");
  if (iterator_type == nullptr) return -1;
  // Rather than object's, which would make one without a database: calling
  // the type raises TypeError.
  iterator_type->tp_new = nullptr;
  return 0;
}

}  // namespace qef64::python
