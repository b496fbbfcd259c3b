// Conversion of C++ results to Python objects.
//
// How to use, in a method body: `return to_py(value).release();` hands CPython a new reference
// (`to_py` gives a Ref, null with a Python exception set), and `return none().release();` returns
// None. The rule of each type:
//   bool, floating point, integers      the Python scalar
//   std::string, string_view, char*     str (invalid UTF-8 replaced)
//   std::vector<std::uint8_t>, Bytes    bytes
//   std::array / std::vector            list of the converted items (2-tuples for std::pair)
//   std::pair / std::tuple              tuple
//   std::map / std::unordered_map       dict
// Record types are returned through the helpers of their class unit (record_classes.hpp).
#pragma once

#include "bindings/python.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/py_ref.hpp"

namespace quillet::py {

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
    if (!converted || PyList_SetItem(list.get(), index++, converted.release()) < 0) return Ref();
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
    if (PyTuple_SetItem(result.get(), static_cast<Py_ssize_t>(i), items[i].release()) < 0) return Ref();
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
