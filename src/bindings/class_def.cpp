#include "bindings/class_def.hpp"

#include <string>
#include <vector>

namespace quillet::py {
namespace detail {

namespace {
// CPython takes __module__ from the class's dictionary, or else from a dotted class name; but the
// name it is given is also the type name that its own messages use ("'X' object has no attribute
// ..."), which must be the bare one. So each class is built with its bare name and this
// placeholder __module__ (a read-only member of an instance's `constructed` flag, never
// reached), which is replaced by the module's name before anyone sees the class.
PyMemberDef g_module_placeholder[] = {
    {"__module__", Py_T_BOOL, kConstructedOffset, Py_READONLY, nullptr}, {}};
}  // namespace

PyTypeObject* create_class(const ClassDef& def, int basic_size, destructor dealloc) {
  std::string doc;
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
  slots.push_back({Py_tp_members, g_module_placeholder});
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
  // CPython copies the name and the doc.
  PyType_Spec spec{def.name, basic_size, 0, flags, slots.data()};
  Ref type = Ref::steal(PyType_FromSpec(&spec));
  if (!type) return nullptr;
  // The class's own dictionary, where the metatype keeps instances' dictionaries (checked
  // first: an interpreter that kept it elsewhere would be refused, not crashed), written before
  // the class is published; its caches are dropped afterwards.
  Ref offset = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(type.get())),
                                                 "__dictoffset__"));
  if (!offset) return nullptr;
  if (PyLong_AsSsize_t(offset.get()) <= 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "class dictionaries out of reach");
    return nullptr;
  }
  Ref dict = Ref::steal(PyObject_GenericGetDict(type.get(), nullptr));
  Ref module = Ref::steal(PyUnicode_InternFromString(kModuleName));
  if (!dict || !module || PyDict_SetItemString(dict.get(), "__module__", module.get()) < 0) {
    return nullptr;
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
  return reinterpret_cast<PyTypeObject*>(type.release());
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
