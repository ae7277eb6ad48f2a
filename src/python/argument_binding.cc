#include "python/argument_binding.h"

#include <string>

namespace sorvid::python {
namespace {

std::size_t required_count(const Signature& signature) {
  std::size_t count = 0;
  for (const ParamSpec& param : signature.params) count += param.required ? 1 : 0;
  return count;
}

void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
  const std::size_t total = signature.params.size();
  const std::size_t required = required_count(signature);
  const char* verb = given == 1 ? "was" : "were";
  if (required == total) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", signature.full_name, total,
                 given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given", signature.full_name,
                 required, total, given, verb);
  }
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_name_list(const Signature& signature, PyObject** slots) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    missing += (signature.params[i].required && slots[i] == nullptr) ? 1 : 0;
  }
  std::string list;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    if (!signature.params[i].required || slots[i] != nullptr) continue;
    if (listed > 0) {
      if (missing > 2) list += ',';
      list += (listed + 1 == missing) ? " and " : " ";
    }
    list += '\'';
    list += signature.params[i].name;
    list += '\'';
    ++listed;
  }
  return list;
}

bool check_required(const Signature& signature, PyObject** slots) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    missing += (signature.params[i].required && slots[i] == nullptr) ? 1 : 0;
  }
  if (missing == 0) return true;
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", signature.full_name, missing,
               missing == 1 ? "argument" : "arguments", quoted_name_list(signature, slots).c_str());
  return false;
}

// Puts one keyword argument into its slot.
bool bind_keyword(const Signature& signature, PyObject* name, PyObject* value, PyObject** slots) {
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, signature.params[i].name) == 0) {
      if (slots[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", signature.full_name, name);
        return false;
      }
      slots[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", signature.full_name, name);
  return false;
}

bool bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject** slots) {
  for (std::size_t i = 0; i < signature.params.size(); ++i) slots[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > signature.params.size()) {
    raise_too_many_positional(signature, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  return true;
}

}  // namespace

bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots) {
  nargs = PyVectorcall_NARGS(nargs);
  if (!bind_positional(signature, args, nargs, slots)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
    }
  }
  return check_required(signature, slots);
}

bool bind_tuple_and_dict(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots) {
  if (!bind_positional(signature, reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args), slots)) {
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!bind_keyword(signature, name, value, slots)) return false;
    }
  }
  return check_required(signature, slots);
}

}  // namespace sorvid::python
