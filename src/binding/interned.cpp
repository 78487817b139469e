#include "binding/interned.h"

#include <string_view>

#include "binding/failure.h"
#include "binding/once_cell.h"

namespace tolvik {
namespace {

PyObject* intern(OnceCell& cell, std::string_view text) {
  return cell.get_or_init([text] {
    PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (s == nullptr) raise_failure("PyObject pointer is null", Location::here());
    PyUnicode_InternInPlace(&s);
    return s;
  });
}

OnceCell ALL_NAME;
OnceCell NAME_NAME;

}  // namespace

PyObject* interned_all() {
  return intern(ALL_NAME, "__all__");
}
PyObject* interned_name() {
  return intern(NAME_NAME, "__name__");
}

}  // namespace tolvik
