// Signatures of the Python-facing functions, and the parsing of their arguments.
//
// How to use, for a method "neck_home($self, speed=0.4, tolerance=0.15, kp=None, kd=None)"
// registered with METH_FASTCALL | METH_KEYWORDS:
//   constexpr auto kNeckHome = signature("QuilletMotorController.neck_home", 0,
//                                        "speed", "tolerance", "kp", "kd");
//   double speed = 0.4, tolerance = 0.15;           // defaults: what an absent argument leaves
//   std::optional<float> kp, kd;                    // optional X: None or X
//   if (!parse(kNeckHome, args, nargs, kwnames, speed, tolerance, kp, kd)) return nullptr;
// `signature(function, required, names...)`: `function` is the name that arity messages give
// ("<function>() missing 1 required positional argument: 'x'"), the first `required` names have
// no default, and the implicit self is counted as Python counts it for its own methods (use
// `free_signature` for a function without self). The C++ type of each output picks its
// conversion (convert.hpp). A TypeError of a conversion becomes TypeError("argument '<name>':
// <message>") with the original as __cause__; ValueError and OverflowError pass unchanged.
// Methods without parameters use METH_NOARGS and parse nothing.
#pragma once

#include "bindings/python.hpp"

#include <array>
#include <cstddef>
#include <string_view>
#include <utility>

#include "bindings/convert.hpp"

namespace quillet::py {

struct SignatureView {
  const char* function;
  std::size_t required;
  bool bound;  // a method or constructor: the implicit self/cls counts in arity messages
  const char* const* names;
  std::size_t count;
};

template <std::size_t N>
struct Signature {
  const char* function;
  std::size_t required;
  bool bound;
  std::array<const char*, N> names;

  constexpr SignatureView view() const { return {function, required, bound, names.data(), N}; }
};

template <class... Names>
constexpr auto signature(const char* function, std::size_t required, Names... names) {
  return Signature<sizeof...(Names)>{function, required, true, {names...}};
}
template <class... Names>
constexpr auto free_signature(const char* function, std::size_t required, Names... names) {
  return Signature<sizeof...(Names)>{function, required, false, {names...}};
}

// The method's own name, which is also the name of the operation it runs: "set_neck_position"
// for "QuilletMotorController.set_neck_position".
constexpr std::string_view operation_of(std::string_view function) {
  return function.substr(function.find('.') + 1);
}

namespace detail {
// Fills `slots` (borrowed, null when absent) from vectorcall arguments, or from tp_new's tuple and
// dict; refuses missing, surplus, duplicated and unknown arguments with Python's wording.
bool collect(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
             PyObject** slots);
bool collect(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** slots);
// Replaces a pending TypeError (exactly that type) by "argument '<name>': ..." caused by it.
void prefix_type_error(const char* name);

template <class T>
bool convert_slot(const char* name, PyObject* slot, T& out) {
  if (slot == nullptr) return true;  // absent optional parameter: keep the default
  if (convert(Borrowed(slot), out, name)) return true;
  prefix_type_error(name);
  return false;
}

template <std::size_t N, std::size_t... I, class... Outs>
bool convert_slots(const Signature<N>& sig, PyObject* const* slots, std::index_sequence<I...>,
                   Outs&... outs) {
  return (convert_slot(sig.names[I], slots[I], outs) && ...);
}
}  // namespace detail

// Vectorcall arguments (METH_FASTCALL | METH_KEYWORDS).
template <std::size_t N, class... Outs>
bool parse(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
           Outs&... outs) {
  static_assert(sizeof...(Outs) == N, "one output per parameter");
  std::array<PyObject*, N> slots{};
  const SignatureView view = sig.view();
  if (!detail::collect(view, args, nargs, kwnames, slots.data())) return false;
  return detail::convert_slots(sig, slots.data(), std::make_index_sequence<N>{}, outs...);
}

// tp_new's argument tuple and keyword dict (the dict may be null).
template <std::size_t N, class... Outs>
bool parse(const Signature<N>& sig, PyObject* args, PyObject* kwargs, Outs&... outs) {
  static_assert(sizeof...(Outs) == N, "one output per parameter");
  std::array<PyObject*, N> slots{};
  const SignatureView view = sig.view();
  if (!detail::collect(view, args, kwargs, slots.data())) return false;
  return detail::convert_slots(sig, slots.data(), std::make_index_sequence<N>{}, outs...);
}

}  // namespace quillet::py
