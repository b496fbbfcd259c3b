// Defining a Python class of the module around a C++ value, and registering it.
//
// How to use, in the unit of one class (say the C++ content is `State`):
//   PyObject* read(PyObject* self, PyObject*) {                      // METH_NOARGS
//     return guarded([&]() -> PyObject* { State& state = value_of<State>(self); ... });
//   }
//   PyMethodDef kMethods[] = {
//       {"read", read, METH_NOARGS, QMC_DOC("read", "$self", "Read it.")},
//       {"set", fastcall(set), METH_FASTCALL | METH_KEYWORDS, QMC_DOC("set", "$self, position", "")},
//       {}};
//   PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {   // the constructor
//     return guarded([&]() -> PyObject* { ...parse...; return new_instance<State>(type, ...); });
//   }
//   bool add_my_class(PyObject* module) {
//     return add_class<State>(module, {.name = "MyClass", .signature = "(a, b=None)",
//                                      .constructor = create, .methods = kMethods});
//   }
// The class: base object, no __dict__, no weak references, not subclassable, immutable, the
// bare name as its type name, __module__ "quillet_motor_controller", the docstring
// "<name><signature>\n--\n\n" (so __doc__ is empty and __text_signature__ gives the
// parameters); without a constructor Python cannot instantiate it and `new_instance<State>()`
// is the only way to build one. `class_type<State>` is the registered class; each C++ type backs
// one class. Instances are dropped with the interpreter lock held: a destructor that waits on
// another thread must release it (gil.hpp).
#pragma once

#include "bindings/python.hpp"

#include <cstddef>
#include <new>
#include <utility>

#include "bindings/py_ref.hpp"

// "<name>(<parameters>)\n--\n\n<doc>": the form of every method docstring.
#define QMC_DOC(name, parameters, doc) name "(" parameters ")\n--\n\n" doc

namespace quillet::py {

inline constexpr const char* kModuleName = "quillet_motor_controller";

template <class T>
struct Instance {
  PyObject_HEAD
  bool constructed;  // tp_alloc zeroes the object: false until T is built
  alignas(T) unsigned char storage[sizeof(T)];

  T& value() noexcept { return *std::launder(reinterpret_cast<T*>(storage)); }
};

// Where every instance keeps `constructed`, whatever its T.
inline constexpr Py_ssize_t kConstructedOffset = offsetof(Instance<unsigned char>, constructed);

// The registered class of each C++ type; null before its registration.
template <class T>
inline PyTypeObject* class_type = nullptr;

// The C++ value inside an instance of T's class (`self` of a method of that class, which CPython
// has type-checked).
template <class T>
T& value_of(PyObject* self) noexcept {
  return reinterpret_cast<Instance<T>*>(self)->value();
}

// A new instance of `type` (T's class) holding T(args...); null with a Python exception set.
// A C++ exception thrown by T's constructor propagates (call it inside `guarded`).
template <class T, class... Args>
PyObject* new_instance(PyTypeObject* type, Args&&... args) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref object = Ref::steal(alloc(type, 0));
  if (!object) return nullptr;
  auto* instance = reinterpret_cast<Instance<T>*>(object.get());
  ::new (static_cast<void*>(instance->storage)) T(std::forward<Args>(args)...);
  instance->constructed = true;
  return object.release();
}

template <class T, class... Args>
PyObject* new_instance_of_class(Args&&... args) {
  return new_instance<T>(class_type<T>, std::forward<Args>(args)...);
}

// A METH_FASTCALL | METH_KEYWORDS function as PyMethodDef stores it.
inline PyCFunction fastcall(PyCFunctionFastWithKeywords function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

struct ClassDef {
  const char* name;                  // bare class name; a string literal
  const char* signature = nullptr;   // "(a, b=None)"; null when Python cannot construct it
  newfunc constructor = nullptr;     // tp_new; required with a signature, null without
  PyMethodDef* methods = nullptr;    // null-terminated, or null
  PyGetSetDef* getset = nullptr;     // null-terminated, or null: read-only attributes
  reprfunc repr = nullptr;
};

namespace detail {
PyTypeObject* create_class(const ClassDef& def, int basic_size, destructor dealloc);
bool register_class(PyObject* module, PyTypeObject* type, const char* name);

template <class T>
void dealloc(PyObject* self) {
  auto* instance = reinterpret_cast<Instance<T>*>(self);
  if (instance->constructed) {
    instance->constructed = false;
    instance->value().~T();
  }
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}
}  // namespace detail

// Creates the class of T, sets it as a module attribute and appends its name to __all__.
// False with a Python exception set on failure.
template <class T>
bool add_class(PyObject* module, const ClassDef& def) {
  static_assert(offsetof(Instance<T>, constructed) == kConstructedOffset);
  PyTypeObject* type =
      detail::create_class(def, static_cast<int>(sizeof(Instance<T>)), &detail::dealloc<T>);
  if (type == nullptr) return false;
  Ref owned = Ref::steal(reinterpret_cast<PyObject*>(type));
  if (!detail::register_class(module, type, def.name)) return false;
  class_type<T> = reinterpret_cast<PyTypeObject*>(owned.release());  // kept for the process
  return true;
}

}  // namespace quillet::py
