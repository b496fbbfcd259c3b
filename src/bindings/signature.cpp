#include "bindings/signature.hpp"

#include <string>
#include <vector>

namespace quillet::py {
namespace detail {

void prefix_type_error(const char* name) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  Ref original = Ref::steal(raised);
  if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(original.release());
    return;
  }
  Ref text = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", name, raised));
  Ref replaced = text ? Ref::steal(call_one_arg(PyExc_TypeError, text.get())) : Ref();
  if (!replaced) return;  // the failure to build it is the pending exception
  PyException_SetCause(replaced.get(), original.release());
  PyErr_SetRaisedException(replaced.release());
}

namespace {

std::string quoted_names(const SignatureView& sig, const std::vector<std::size_t>& missing) {
  // 'a'; 'a' and 'b'; 'a', 'b', and 'c' (as Python words it).
  std::string out;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) out += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    out += '\'';
    out += sig.names[missing[i]];
    out += '\'';
  }
  return out;
}

bool too_many_positional(const SignatureView& sig, Py_ssize_t given) {
  const std::size_t self = sig.bound ? 1 : 0;
  const std::size_t low = sig.required + self;
  const std::size_t high = sig.count + self;
  std::string message = std::string(sig.function) + "() takes ";
  if (low == high) {
    message += std::to_string(high);
  } else {
    message += "from " + std::to_string(low) + " to " + std::to_string(high);
  }
  message += high == 1 && low == high ? " positional argument" : " positional arguments";
  const std::size_t total = static_cast<std::size_t>(given) + self;
  message += " but " + std::to_string(total) + (total == 1 ? " was given" : " were given");
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

// Places one keyword argument; false with TypeError for an unknown or duplicated name.
bool place_keyword(const SignatureView& sig, PyObject* key, PyObject* value, PyObject** slots) {
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
      if (slots[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                     sig.names[i]);
        return false;
      }
      slots[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
  return false;
}

bool check_missing(const SignatureView& sig, PyObject** slots) {
  std::vector<std::size_t> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(i);
  }
  if (missing.empty()) return true;
  const std::string message = std::string(sig.function) + "() missing " +
                              std::to_string(missing.size()) + " required positional argument" +
                              (missing.size() == 1 ? "" : "s") + ": " + quoted_names(sig, missing);
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

}  // namespace

bool collect(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
             PyObject** slots) {
  if (static_cast<std::size_t>(nargs) > sig.count) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!place_keyword(sig, PyTuple_GetItem(kwnames, i), args[nargs + i], slots)) return false;
    }
  }
  return check_missing(sig, slots);
}

bool collect(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  if (static_cast<std::size_t>(nargs) > sig.count) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.function);
        return false;
      }
      if (!place_keyword(sig, key, value, slots)) return false;
    }
  }
  return check_missing(sig, slots);
}

}  // namespace detail
}  // namespace quillet::py
