#include "bindings/errors.hpp"

#include "bindings/py_ref.hpp"

namespace quillet::py {

PyObject* raise_with_text(PyObject* type, std::string_view text) noexcept {
  Ref message = Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

PyObject* raise_runtime_error(std::string_view text) noexcept {
  return raise_with_text(PyExc_RuntimeError, text);
}

PyObject* raise_fault(std::string_view text) noexcept { return raise_with_text(fault_type(), text); }

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
