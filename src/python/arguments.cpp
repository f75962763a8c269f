#include "python/arguments.hpp"

#include <string>
#include <vector>

namespace kestrune::python::detail {
namespace {

struct Keyword {
  PyObject* name;   // a str
  PyObject* value;
};

std::unexpected<Failure> type_error(const std::string& message) {
  return raise(PyExc_TypeError, message.c_str());
}

// The parameters that may be given by position.
std::size_t positional_count(std::span<const Parameter> parameters) {
  std::size_t count = 0;
  for (const Parameter& parameter : parameters) count += parameter.keyword_only ? 0 : 1;
  return count;
}

std::unexpected<Failure> too_many_positional(const char* name, std::span<const Parameter> parameters,
                                             Py_ssize_t given) {
  std::size_t required = 0;
  for (const Parameter& parameter : parameters) required += parameter.required && !parameter.keyword_only ? 1 : 0;
  const std::size_t most = positional_count(parameters);
  std::string message = std::string(name) + "() takes ";
  if (required != most)
    message += "from " + std::to_string(required) + " to " + std::to_string(most) + " positional arguments";
  else
    message += std::to_string(most) + (most == 1 ? " positional argument" : " positional arguments");
  message += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
  return type_error(message);
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists names.
std::string name_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) text += ',';
      text += i + 1 == names.size() ? " and " : " ";
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

Fallible<void> bind(const char* name, std::span<const Parameter> parameters, std::span<PyObject*> slots,
                    std::span<PyObject* const> positional, std::span<const Keyword> keywords) {
  if (positional.size() > positional_count(parameters))
    return too_many_positional(name, parameters, static_cast<Py_ssize_t>(positional.size()));
  for (std::size_t i = 0; i < positional.size(); ++i) slots[i] = positional[i];

  for (const Keyword& keyword : keywords) {
    std::size_t index = 0;
    while (index < parameters.size() &&
           PyUnicode_CompareWithASCIIString(keyword.name, parameters[index].name) != 0)
      ++index;
    if (index == parameters.size()) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, keyword.name);
      return raised();
    }
    if (slots[index] != nullptr)
      return type_error(std::string(name) + "() got multiple values for argument '" +
                        parameters[index].name + "'");
    slots[index] = keyword.value;
  }

  // Missing positional parameters are reported before missing keyword-only ones.
  for (const bool keyword_only : {false, true}) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < parameters.size(); ++i)
      if (parameters[i].required && parameters[i].keyword_only == keyword_only && slots[i] == nullptr)
        missing.push_back(parameters[i].name);
    if (missing.empty()) continue;
    const char* kind = keyword_only ? " required keyword-only argument" : " required positional argument";
    return type_error(std::string(name) + "() missing " + std::to_string(missing.size()) + kind +
                      (missing.size() == 1 ? ": " : "s: ") + name_list(missing));
  }
  return {};
}

}  // namespace

Fallible<void> bind_fastcall(const char* name, std::span<const Parameter> parameters,
                             std::span<PyObject*> slots, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  // The interpreter may set a flag bit in nargs for vectorcall; fastcall gives it clear.
  const std::size_t count = static_cast<std::size_t>(nargs);
  std::vector<Keyword> keywords;
  if (kwnames != nullptr) {
    const Py_ssize_t size = PyTuple_Size(kwnames);
    if (size < 0) return raised();
    keywords.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i)
      keywords.push_back({PyTuple_GetItem(kwnames, i), args[nargs + i]});
  }
  return bind(name, parameters, slots, std::span<PyObject* const>(args, count), keywords);
}

Fallible<void> bind_tuple(const char* name, std::span<const Parameter> parameters,
                          std::span<PyObject*> slots, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t size = PyTuple_Size(args);
  if (size < 0) return raised();
  std::vector<PyObject*> positional;
  positional.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) positional.push_back(PyTuple_GetItem(args, i));
  std::vector<Keyword> keywords;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) keywords.push_back({key, value});
  }
  return bind(name, parameters, slots, positional, keywords);
}

}  // namespace kestrune::python::detail
