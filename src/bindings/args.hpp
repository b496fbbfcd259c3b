// Argument conversion shared by every Python-facing method, and the conversion of results.
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
// `free_signature` for a function without self). The C++ type of each output picks the rule:
//   double                      float (64-bit): float, int, __float__, __index__
//   float                       float stored as 32-bit
//   uint8_t/16/32/64            int or __index__; OverflowError out of range or negative
//   bool                        bool or a NumPy bool scalar, never int
//   std::string                 str
//   std::array<double, N>       any sequence of exactly N floats
//   std::vector<double>         any sequence of floats except str
//   std::vector<std::uint8_t>   any sequence of 8-bit unsigned ints except str
//   Bytes                       bytes only
//   Duration                    datetime.timedelta only, not negative
//   std::optional<T>            None or T
//   a record type               an instance of its class (a Converter specialization in the
//                               unit of that class)
// A TypeError of a conversion becomes TypeError("argument '<name>': <message>") with the original
// as __cause__; ValueError and OverflowError pass unchanged. Methods without parameters use
// METH_NOARGS and parse nothing. Results: `to_py(value)` returns a new reference (see below).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bindings/py_ref.hpp"

namespace quillet::py {

// The `bytes` parameter kind (a list of ints is std::vector<std::uint8_t>).
struct Bytes {
  std::vector<std::uint8_t> data;
};

// A non-negative duration as a timedelta gives it: whole seconds and nanoseconds below one second.
struct Duration {
  std::uint64_t seconds = 0;
  std::uint32_t nanos = 0;

  static constexpr Duration from_seconds(std::uint64_t seconds) { return Duration{seconds, 0}; }
  // Saturates at the largest std::chrono::nanoseconds (about 292 years).
  std::chrono::nanoseconds as_nanoseconds() const noexcept;
  friend bool operator==(const Duration&, const Duration&) = default;
};

// ---- Converters: `static bool convert(Borrowed object, T& out)`, false with a Python exception
// set. Specialise Converter for a new parameter type.
template <class T>
struct Converter;

template <>
struct Converter<double> {
  static bool convert(Borrowed object, double& out);
};
template <>
struct Converter<float> {
  static bool convert(Borrowed object, float& out);
};
template <class U>
  requires std::unsigned_integral<U> && (!std::same_as<U, bool>)
struct Converter<U> {
  static bool convert(Borrowed object, U& out);
};
template <>
struct Converter<bool> {
  static bool convert(Borrowed object, bool& out);
};
template <>
struct Converter<std::string> {
  static bool convert(Borrowed object, std::string& out);
};
template <>
struct Converter<std::vector<double>> {
  static bool convert(Borrowed object, std::vector<double>& out);
};
template <>
struct Converter<std::vector<std::uint8_t>> {
  static bool convert(Borrowed object, std::vector<std::uint8_t>& out);
};
template <>
struct Converter<Bytes> {
  static bool convert(Borrowed object, Bytes& out);
};
template <>
struct Converter<Duration> {
  static bool convert(Borrowed object, Duration& out);
};

namespace detail {
bool unsigned_from_python(Borrowed object, std::uint64_t max, int bits, std::uint64_t& out);
// The sequence of exactly `count` floats, written to `out[0..count)`.
bool floats_from_sequence(Borrowed object, double* out, std::size_t count);
// TypeError "'<type>' object cannot be converted to '<target>'".
bool cannot_convert(Borrowed object, const char* target);
}  // namespace detail

template <class U>
  requires std::unsigned_integral<U> && (!std::same_as<U, bool>)
bool Converter<U>::convert(Borrowed object, U& out) {
  std::uint64_t value = 0;
  if (!detail::unsigned_from_python(object, std::numeric_limits<U>::max(),
                                    static_cast<int>(sizeof(U) * 8), value)) {
    return false;
  }
  out = static_cast<U>(value);
  return true;
}

template <std::size_t N>
struct Converter<std::array<double, N>> {
  static bool convert(Borrowed object, std::array<double, N>& out) {
    return detail::floats_from_sequence(object, out.data(), N);
  }
};

template <class T>
struct Converter<std::optional<T>> {
  static bool convert(Borrowed object, std::optional<T>& out) {
    if (object.get() == Py_None) {
      out.reset();
      return true;
    }
    T value{};
    if (!Converter<T>::convert(object, value)) return false;
    out = std::move(value);
    return true;
  }
};

template <class T>
bool convert(Borrowed object, T& out) {
  return Converter<T>::convert(object, out);
}

// ---- Signatures and parsing.

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
  if (Converter<T>::convert(Borrowed(slot), out)) return true;
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

// ---- Results: a new reference, null with a Python exception set.
//   None: none(); bool, floating point and integers: the Python scalar; std::string: str;
//   std::array / std::vector of double: list of floats; of std::pair: list of 2-tuples;
//   std::vector<std::uint8_t>: bytes; std::tuple / std::pair: tuple; std::map / unordered_map:
//   dict. Record types are returned through the helpers of their class unit.

inline Ref none() { return Ref::new_ref(Py_None); }

template <class T>
Ref to_py(const T& value);

namespace detail {
template <class T>
struct is_pair : std::false_type {};
template <class A, class B>
struct is_pair<std::pair<A, B>> : std::true_type {};
template <class T>
struct is_tuple : std::false_type {};
template <class... Ts>
struct is_tuple<std::tuple<Ts...>> : std::true_type {};
template <class T>
struct is_map : std::false_type {};
template <class K, class V, class... R>
struct is_map<std::map<K, V, R...>> : std::true_type {};
template <class K, class V, class... R>
struct is_map<std::unordered_map<K, V, R...>> : std::true_type {};
template <class T>
struct is_list_like : std::false_type {};
template <class T, std::size_t N>
struct is_list_like<std::array<T, N>> : std::true_type {};
template <class T, class A>
struct is_list_like<std::vector<T, A>> : std::true_type {};

template <class Range>
Ref list_of(const Range& range) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(range))));
  if (!list) return list;
  Py_ssize_t index = 0;
  for (const auto& item : range) {
    Ref converted = to_py(item);
    if (!converted) return Ref();
    PyList_SET_ITEM(list.get(), index++, converted.release());
  }
  return list;
}

template <class Tuple, std::size_t... I>
Ref tuple_of(const Tuple& tuple, std::index_sequence<I...>) {
  Ref items[] = {to_py(std::get<I>(tuple))...};
  for (const Ref& item : items) {
    if (!item) return Ref();
  }
  Ref result = Ref::steal(PyTuple_New(sizeof...(I)));
  if (!result) return result;
  for (std::size_t i = 0; i < sizeof...(I); ++i) {
    PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), items[i].release());
  }
  return result;
}
}  // namespace detail

template <class T>
Ref to_py(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return Ref::new_ref(value ? Py_True : Py_False);
  } else if constexpr (std::is_floating_point_v<T>) {
    return Ref::steal(PyFloat_FromDouble(static_cast<double>(value)));
  } else if constexpr (std::is_integral_v<T> && std::is_unsigned_v<T>) {
    return Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
  } else if constexpr (std::is_integral_v<T>) {
    return Ref::steal(PyLong_FromLongLong(static_cast<long long>(value)));
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    const std::string_view text(value);
    return Ref::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  } else if constexpr (std::is_same_v<T, std::vector<std::uint8_t>> || std::is_same_v<T, Bytes>) {
    const std::vector<std::uint8_t>* bytes;
    if constexpr (std::is_same_v<T, Bytes>) {
      bytes = &value.data;
    } else {
      bytes = &value;
    }
    return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes->data()),
                                                static_cast<Py_ssize_t>(bytes->size())));
  } else if constexpr (detail::is_list_like<T>::value) {
    return detail::list_of(value);
  } else if constexpr (detail::is_pair<T>::value || detail::is_tuple<T>::value) {
    return detail::tuple_of(value, std::make_index_sequence<std::tuple_size_v<T>>{});
  } else if constexpr (detail::is_map<T>::value) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return dict;
    for (const auto& [key, item] : value) {
      Ref k = to_py(key);
      if (!k) return Ref();
      Ref v = to_py(item);
      if (!v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return Ref();
    }
    return dict;
  } else {
    static_assert(sizeof(T) == 0, "no Python conversion for this result type");
  }
}

}  // namespace quillet::py
