// Binding a fast call's arguments (positional array plus keyword names) to a
// function's parameters, with the TypeError that explains a wrong call.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "binding/py_err.h"

namespace tolvik {

struct KeywordOnlyParameterDescription {
  std::string_view name;
  bool required;
};

struct FunctionDescription {
  std::string_view function_name;
  std::optional<std::string_view> class_name;
  std::span<const std::string_view> parameter_names;  // by position or keyword
  std::size_t positional_only_count;
  std::size_t required_positional_count;
  std::span<const KeywordOnlyParameterDescription> keyword_only;

  // "name()" or "Class.name()": how every binding message starts.
  std::string display_name() const;
};

// Fills `slots` (one per parameter name, then one per keyword-only parameter)
// with borrowed references to the call's arguments. On failure returns the
// TypeError to raise, and the slots must not be used.
std::optional<PyErr> extract_arguments_fastcall(const FunctionDescription& description,
                                                PyObject* const* args, Py_ssize_t nargs,
                                                PyObject* kwnames, std::span<PyObject*> slots);

// The names between single quotes: 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
void push_parameter_list(std::string& out, std::span<const std::string_view> names);

}  // namespace tolvik
