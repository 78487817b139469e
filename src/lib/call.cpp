#include "lib/call.h"

#include <array>

#include "binding/arguments.h"
#include "binding/converters.h"
#include "binding/result.h"
#include "lib/plot_reader.h"

namespace tolvik {
namespace {

constexpr std::array<std::string_view, 2> kParameterNames = {"file_path", "n_digits"};

const FunctionDescription kDescription{
    .function_name = "rust_read_tarvelo",
    .class_name = std::nullopt,
    .parameter_names = kParameterNames,
    .positional_only_count = 0,
    .required_positional_count = 2,
    .keyword_only = {},
};

}  // namespace

CallOutcome pyfunction_rust_read_tarvelo(PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  std::array<PyObject*, 2> slots{};
  if (std::optional<PyErr> error =
          extract_arguments_fastcall(kDescription, args, nargs, kwnames, slots)) {
    return std::move(*error);
  }

  auto file_path = extract_text(slots[0]);
  if (auto* error = std::get_if<PyErr>(&file_path)) {
    return argument_extraction_error("file_path", std::move(*error));
  }
  auto n_digits = extract_u64(slots[1]);
  if (auto* error = std::get_if<PyErr>(&n_digits)) {
    return argument_extraction_error("n_digits", std::move(*error));
  }

  PlotData data =
      read_plot_file(std::get<std::string_view>(file_path), std::get<std::uint64_t>(n_digits));
  return into_pyobject(std::move(data));
}

}  // namespace tolvik
