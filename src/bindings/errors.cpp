#include "bindings/errors.hpp"

#include "bindings/py_ref.hpp"

namespace quillet::py {

PyObject* raise_with_text(PyObject* type, std::string_view text) noexcept {
  if (PyErr_Occurred()) return nullptr;  // raised first: see the header
  Ref message = Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

PyObject* raise_runtime_error(std::string_view text) noexcept {
  return raise_with_text(PyExc_RuntimeError, text);
}

PyObject* raise_runtime_error(std::string_view text, const std::vector<std::string>& notes) noexcept {
  if (PyErr_Occurred()) return nullptr;  // raised first: see the header
  raise_runtime_error(text);
  if (notes.empty()) return nullptr;
  Ref raised = Ref::steal(PyErr_GetRaisedException());
  for (const std::string& note : notes) {
    Ref line = Ref::steal(PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
    Ref added = line ? Ref::steal(PyObject_CallMethod(raised.get(), "add_note", "O", line.get())) : Ref();
    // A note that cannot be added (no memory) is left out: the error itself still goes up.
    if (!added) PyErr_Clear();
  }
  PyErr_SetRaisedException(raised.release());
  return nullptr;
}

PyObject* raise_fault(std::string_view text) noexcept { return raise_with_text(fault_type(), text); }

namespace {

// ValueError "argument '<argument>': <reason>" when `error` refuses an argument; false, with
// nothing raised, for any other error.
bool raised_as_argument_error(const controller::Error& error) {
  std::string text = "argument '";
  if (const auto* refused = error.not_a_number()) {
    text += refused->argument;
    text += "': ";
    text += refused->quantity;
    text += " is not a number (NaN)";
  } else if (const auto* refused = error.refused()) {
    text += refused->argument;
    text += "': ";
    text += refused->reason;
  } else {
    return false;
  }
  raise_with_text(PyExc_ValueError, text);
  return true;
}

}  // namespace

PyObject* raise_error(std::string_view prefix, const controller::Error& error) {
  if (raised_as_argument_error(error)) return nullptr;
  std::string text(prefix);
  text += error.message();
  return raise_runtime_error(text, error.notes());
}

PyObject* raise_error(const controller::Error& error) { return raise_error(std::string_view(), error); }


namespace detail {

void fault_from_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_fault(error.what());
  } catch (...) {
    raise_fault("unknown C++ exception");
  }
}

}  // namespace detail
}  // namespace quillet::py
