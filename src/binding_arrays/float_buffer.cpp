#include "binding_arrays/float_buffer.h"

#include <new>
#include <utility>

namespace tolvik::arrays {
namespace {

struct FloatBufferObject {
  PyObject_HEAD FloatArray array;
  Py_ssize_t shape;   // the floats lent out
  Py_ssize_t stride;  // sizeof(float)
};

FloatBufferObject* as_buffer(PyObject* self) {
  return reinterpret_cast<FloatBufferObject*>(self);
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_buffer(self)->array.~FloatArray();
  type->tp_free(self);
  Py_DECREF(type);  // a heap type's instances hold a reference to it
}

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
  FloatBufferObject* buffer = as_buffer(self);
  view->buf = buffer->array.data();
  view->obj = Py_NewRef(self);
  view->len = buffer->shape * buffer->stride;
  view->readonly = 0;
  view->itemsize = sizeof(float);
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("f") : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) ? &buffer->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &buffer->stride : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

Py_ssize_t sequence_length(PyObject* self) {
  return as_buffer(self)->shape;
}

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Floats read from a plot file, lent out as a buffer.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {Py_sq_length, reinterpret_cast<void*>(sequence_length)},
    {0, nullptr},
};

}  // namespace

PyType_Spec FLOAT_BUFFER_SPEC = {
    "tolvik_arrays._reader.FloatBuffer",
    sizeof(FloatBufferObject),
    0,
    // Not subclassable, not creatable from Python: only a read makes one.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    SLOTS,
};

PyRef new_float_buffer(PyTypeObject* type, FloatArray&& array, std::size_t count) {
  FloatArray owned = std::move(array);
  PyRef self = PyRef::steal(type->tp_alloc(type, 0));
  if (!self) return self;
  FloatBufferObject* buffer = as_buffer(self.get());
  new (&buffer->array) FloatArray(std::move(owned));
  buffer->shape = static_cast<Py_ssize_t>(count);
  buffer->stride = sizeof(float);
  return self;
}

}  // namespace tolvik::arrays
