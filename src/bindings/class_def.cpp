#include "bindings/class_def.hpp"

#include <string>
#include <vector>

namespace quillet::py {
namespace detail {

PyTypeObject* create_class(const ClassDef& def, int basic_size, destructor dealloc) {
  // The dotted spec name gives __module__; the type's own name is set to the bare name below.
  const std::string spec_name = std::string(kModuleName) + "." + def.name;
  std::string doc;
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
  if (def.signature != nullptr) {
    doc = std::string(def.name) + def.signature + "\n--\n\n";
    slots.push_back({Py_tp_doc, const_cast<char*>(doc.c_str())});
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(def.constructor)});
  }
  if (def.methods != nullptr) slots.push_back({Py_tp_methods, def.methods});
  if (def.getset != nullptr) slots.push_back({Py_tp_getset, def.getset});
  if (def.repr != nullptr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(def.repr)});
  slots.push_back({0, nullptr});

  unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (def.signature == nullptr) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Spec spec{spec_name.c_str(), basic_size, 0, flags, slots.data()};
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  if (type == nullptr) return nullptr;
  // CPython copied the PyType_Spec strings; messages that name the type ("'X' object has no
  // attribute ...") use tp_name, which must outlive the type: the literal does.
  type->tp_name = def.name;
  return type;
}

bool register_class(PyObject* module, PyTypeObject* type, const char* name) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace detail
}  // namespace quillet::py
