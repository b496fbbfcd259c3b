// Owned and borrowed references to Python objects, so that no code path balances reference
// counts by hand.
//
// How to use:
//   Ref list = Ref::steal(PyList_New(0));          // a new reference, released by ~Ref
//   if (!list) return nullptr;                      // null: a Python exception is set
//   Ref item = Ref::new_ref(borrowed);              // take a reference of our own
//   PyList_Append(list.get(), item.get());          // lend it: the list takes its own reference
//   return list.release();                          // hand the reference to the caller
//   PyList_SetItem(list.get(), i, item.release());  // for APIs that steal a reference
// `Borrowed` names a reference that someone else keeps alive (arguments, items of a tuple that
// we hold); it never changes a count. Every use needs the interpreter lock.
#pragma once

#include "bindings/python.hpp"

#include <utility>

namespace quillet::py {

class Borrowed {
 public:
  constexpr Borrowed() noexcept = default;
  constexpr Borrowed(PyObject* object) noexcept : object_(object) {}  // NOLINT: implicit on purpose
  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

class Ref {
 public:
  constexpr Ref() noexcept = default;
  // Takes over a new reference (the result of most C-API calls); null stays null.
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Adds a reference of our own to an object someone else keeps alive.
  static Ref new_ref(Borrowed object) noexcept {
    Py_XINCREF(object.get());
    return Ref(object.get());
  }

  Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  Borrowed borrow() const noexcept { return Borrowed(object_); }
  // Hands the reference to the caller (a return value, or an API that steals it).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  operator Borrowed() const noexcept { return Borrowed(object_); }  // NOLINT: lend implicitly

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace quillet::py
