#include "binding/entry.h"

#include "lib/call.h"

namespace tolvik {

PyObject* fastcall_cfunction_with_keywords(PyObject* /*self*/, PyObject* const* args,
                                           Py_ssize_t nargs, PyObject* kwnames) {
  PyRef result;
  const bool ok = run_entry([&]() -> std::optional<PyErr> {
    CallOutcome outcome = pyfunction_rust_read_tarvelo(args, nargs, kwnames);
    if (auto* error = std::get_if<PyErr>(&outcome)) return std::move(*error);
    result = std::move(std::get<PyRef>(outcome));
    return std::nullopt;
  });
  return ok ? result.release() : nullptr;
}

}  // namespace tolvik
