#include "binding/arguments.h"

#include <vector>

#include "binding/python_compat.h"

namespace tolvik {
namespace {

std::string plural(std::size_t n, std::string_view one, std::string_view many) {
  return std::string(n == 1 ? one : many);
}

PyErr too_many_positional_arguments(const FunctionDescription& d, Py_ssize_t given) {
  const std::size_t max = d.parameter_names.size();
  std::string message = d.display_name();
  if (d.required_positional_count == max) {
    message += " takes " + std::to_string(max);
  } else {
    message +=
        " takes from " + std::to_string(d.required_positional_count) + " to " + std::to_string(max);
  }
  message += " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was" : " were") + " given";
  return PyErr::type_error(std::move(message));
}

PyErr unexpected_keyword_argument(const FunctionDescription& d, PyObject* name) {
  PyRef shown = str_or_unprintable(name);
  if (!shown) return PyErr::fetch();
  const std::string prefix = d.display_name();
  PyRef message = PyRef::steal(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'",
                                                    prefix.c_str(), shown.get()));
  if (!message) return PyErr::fetch();
  return PyErr::type_error(std::move(message));
}

PyErr multiple_values_for_argument(const FunctionDescription& d, std::string_view name) {
  std::string message = d.display_name() + " got multiple values for argument '";
  message += name;
  message += '\'';
  return PyErr::type_error(std::move(message));
}

PyErr positional_only_keyword_arguments(const FunctionDescription& d,
                                        std::span<const std::string_view> names) {
  std::string message =
      d.display_name() + " got some positional-only arguments passed as keyword arguments: ";
  push_parameter_list(message, names);
  return PyErr::type_error(std::move(message));
}

PyErr missing_required_arguments(const FunctionDescription& d, std::string_view kind,
                                 std::span<const std::string_view> names) {
  std::string message = d.display_name() + " missing " + std::to_string(names.size()) +
                        " required " + std::string(kind) + " " +
                        plural(names.size(), "argument", "arguments") + ": ";
  push_parameter_list(message, names);
  return PyErr::type_error(std::move(message));
}

PyErr missing_required_positional_arguments(const FunctionDescription& d,
                                            std::span<PyObject* const> slots) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < d.required_positional_count; ++i) {
    if (slots[i] == nullptr) missing.push_back(d.parameter_names[i]);
  }
  return missing_required_arguments(d, "positional", missing);
}

PyErr missing_required_keyword_arguments(const FunctionDescription& d,
                                         std::span<PyObject* const> keyword_slots) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < d.keyword_only.size(); ++i) {
    if (d.keyword_only[i].required && keyword_slots[i] == nullptr) {
      missing.push_back(d.keyword_only[i].name);
    }
  }
  return missing_required_arguments(d, "keyword", missing);
}

}  // namespace

std::string FunctionDescription::display_name() const {
  std::string name;
  if (class_name) {
    name += *class_name;
    name += '.';
  }
  name += function_name;
  name += "()";
  return name;
}

void push_parameter_list(std::string& out, std::span<const std::string_view> names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ',';
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
}

std::optional<PyErr> extract_arguments_fastcall(const FunctionDescription& d, PyObject* const* args,
                                                Py_ssize_t nargs, PyObject* kwnames,
                                                std::span<PyObject*> slots) {
  const std::size_t positional = d.parameter_names.size();
  const std::size_t given = static_cast<std::size_t>(nargs);
  if (args != nullptr) {
    for (std::size_t i = 0; i < given && i < positional; ++i) slots[i] = args[i];
  }
  if (given > positional) return too_many_positional_arguments(d, nargs);

  std::vector<std::string_view> positional_only_as_keyword;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      PyObject* name = PyTuple_GET_ITEM(kwnames, k);
      PyObject* value = args[nargs + k];
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
      if (utf8 == nullptr) {
        PyRef dropped = PyRef::steal(PyErr_GetRaisedException());
        return unexpected_keyword_argument(d, name);
      }
      const std::string_view text(utf8, static_cast<std::size_t>(size));

      std::optional<std::size_t> slot;
      for (std::size_t i = 0; i < d.keyword_only.size(); ++i) {
        if (d.keyword_only[i].name == text) {
          slot = positional + i;
          break;
        }
      }
      if (!slot) {
        std::size_t i = 0;
        while (i < positional && d.parameter_names[i] != text) ++i;
        if (i == positional) return unexpected_keyword_argument(d, name);
        if (i < d.positional_only_count) {
          positional_only_as_keyword.push_back(d.parameter_names[i]);
          continue;
        }
        slot = i;
      }
      if (slots[*slot] != nullptr) return multiple_values_for_argument(d, text);
      slots[*slot] = value;
    }
  }
  if (!positional_only_as_keyword.empty()) {
    return positional_only_keyword_arguments(d, positional_only_as_keyword);
  }

  if (given < d.required_positional_count) {
    for (std::size_t i = given; i < d.required_positional_count; ++i) {
      if (slots[i] == nullptr) return missing_required_positional_arguments(d, slots);
    }
  }
  const std::span<PyObject* const> keyword_slots = slots.subspan(positional);
  for (std::size_t i = 0; i < d.keyword_only.size(); ++i) {
    if (d.keyword_only[i].required && keyword_slots[i] == nullptr) {
      return missing_required_keyword_arguments(d, keyword_slots);
    }
  }
  return std::nullopt;
}

}  // namespace tolvik
