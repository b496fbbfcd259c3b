#include "bindings/convert.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <utility>

namespace quillet::py {

std::chrono::nanoseconds Duration::as_nanoseconds() const noexcept {
  constexpr auto kMax = std::chrono::nanoseconds::max().count();
  constexpr std::uint64_t kMaxSeconds = static_cast<std::uint64_t>(kMax / 1'000'000'000);
  if (seconds > kMaxSeconds ||
      (seconds == kMaxSeconds && nanos > static_cast<std::uint32_t>(kMax % 1'000'000'000))) {
    return std::chrono::nanoseconds::max();
  }
  return std::chrono::nanoseconds(static_cast<std::int64_t>(seconds) * 1'000'000'000 +
                                  static_cast<std::int64_t>(nanos));
}

namespace {

std::string type_name(Borrowed object) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object.get())));
  Py_ssize_t size = 0;
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "object";
  }
  return std::string(text, static_cast<std::size_t>(size));
}

// NumPy's boolean scalar, recognised by name so that NumPy need not be imported.
bool is_numpy_bool(Borrowed object) {
  PyTypeObject* type = Py_TYPE(object.get());
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    return false;
  }
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

bool too_many_items(const char* argument) {
  PyErr_Format(PyExc_ValueError, "argument '%s': more than %zu items", argument, kMaxSequenceItems);
  return false;
}

// Any sequence except str, item by item, up to kMaxSequenceItems: what its __len__ says is
// checked, not trusted.
template <class T>
bool vector_from_sequence(Borrowed object, std::vector<T>& out, const char* argument) {
  if (PyUnicode_Check(object.get())) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object.get())) return detail::cannot_convert(object, "Sequence");
  std::vector<T> values;
  const Py_ssize_t size = PySequence_Size(object.get());
  if (size < 0) {
    PyErr_Clear();
  } else if (static_cast<std::size_t>(size) > kMaxSequenceItems) {
    return too_many_items(argument);
  } else {
    values.reserve(static_cast<std::size_t>(size));
  }
  Ref iterator = Ref::steal(PyObject_GetIter(object.get()));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (values.size() == kMaxSequenceItems) return too_many_items(argument);
    T value{};
    if (!Converter<T>::convert(item, value)) return false;
    values.push_back(value);
  }
  if (PyErr_Occurred()) return false;
  out = std::move(values);
  return true;
}

}  // namespace

namespace detail {

bool cannot_convert(Borrowed object, const char* target) {
  const std::string message = "'" + type_name(object) + "' object cannot be converted to '" + target + "'";
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

bool unsigned_from_python(Borrowed object, std::uint64_t max, int bits, std::uint64_t& out) {
  Ref index = Ref::steal(PyNumber_Index(object.get()));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (value > max) {
    const std::string message =
        "int too big to convert to a " + std::to_string(bits) + "-bit unsigned int";
    PyErr_SetString(PyExc_OverflowError, message.c_str());
    return false;
  }
  out = value;
  return true;
}

bool floats_from_sequence(Borrowed object, double* out, std::size_t count) {
  if (!PySequence_Check(object.get())) return cannot_convert(object, "Sequence");
  const Py_ssize_t size = PySequence_Size(object.get());
  if (size < 0) return false;
  if (static_cast<std::size_t>(size) != count) {
    const std::string message = "expected a sequence of length " + std::to_string(count) +
                                " (got " + std::to_string(size) + ")";
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(object.get(), static_cast<Py_ssize_t>(i)));
    if (!item || !Converter<double>::convert(item, out[i])) return false;
  }
  return true;
}

}  // namespace detail

bool Converter<double>::convert(Borrowed object, double& out) {
  const double value = PyFloat_AsDouble(object.get());
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool Converter<float>::convert(Borrowed object, float& out) {
  double value = 0.0;
  if (!Converter<double>::convert(object, value)) return false;
  // Beyond the float range a cast is undefined: round as IEEE does, to the largest float or to
  // infinity from the midpoint to the next power of two upwards.
  constexpr double kMax = std::numeric_limits<float>::max();
  constexpr double kHalfUlpAboveMax = 0x1p103;
  if (std::isfinite(value) && std::fabs(value) > kMax) {
    const double rounded = std::fabs(value) >= kMax + kHalfUlpAboveMax
                               ? std::numeric_limits<double>::infinity()
                               : kMax;
    out = static_cast<float>(std::copysign(rounded, value));
    return true;
  }
  out = static_cast<float>(value);
  return true;
}

bool Converter<bool>::convert(Borrowed object, bool& out) {
  PyObject* value = object.get();
  if (PyBool_Check(value)) {
    out = value == Py_True;
    return true;
  }
  if (is_numpy_bool(object)) {
    auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(Py_TYPE(value), Py_nb_bool));
    if (nb_bool == nullptr) {
      PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                   type_name(object).c_str());
      return false;
    }
    const int truth = nb_bool(value);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  return detail::cannot_convert(object, "PyBool");
}

bool Converter<std::string>::convert(Borrowed object, std::string& out) {
  if (!PyUnicode_Check(object.get())) return detail::cannot_convert(object, "PyString");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object.get(), &size);
  if (text == nullptr) return false;
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

bool Converter<std::vector<double>>::convert(Borrowed object, std::vector<double>& out,
                                             const char* argument) {
  return vector_from_sequence(object, out, argument);
}

bool Converter<std::vector<std::uint8_t>>::convert(Borrowed object, std::vector<std::uint8_t>& out,
                                                   const char* argument) {
  return vector_from_sequence(object, out, argument);
}

bool Converter<Bytes>::convert(Borrowed object, Bytes& out) {
  if (!PyBytes_Check(object.get())) return detail::cannot_convert(object, "PyBytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(object.get(), &data, &size) < 0) return false;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  out.data.assign(bytes, bytes + size);
  return true;
}

bool system_name(const char* argument, const std::string& name) {
  if (name.find('\0') == std::string::npos) return true;
  PyErr_Format(PyExc_ValueError, "argument '%s': embedded null character", argument);
  return false;
}

bool system_name(const char* argument, const std::optional<std::string>& name) {
  return !name || system_name(argument, *name);
}

namespace {

// datetime.timedelta, and the readers of its three fields taken from the class itself, so that a
// subclass that redefines `days` cannot change what is read. Looked up at the first conversion
// (with the interpreter lock held) and kept for the life of the process, like the classes.
struct Timedelta {
  struct Field {
    Ref descriptor;
    descrgetfunc get = nullptr;
  };
  Ref type;
  Field days, seconds, microseconds;
};

bool field_of(PyObject* type, const char* name, Timedelta::Field& field) {
  Ref descriptor = Ref::steal(PyObject_GetAttrString(type, name));
  if (!descriptor) return false;
  auto get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(descriptor.get()), Py_tp_descr_get));
  if (get == nullptr) {
    PyErr_Format(PyExc_TypeError, "datetime.timedelta.%s is not a descriptor", name);
    return false;
  }
  field = {std::move(descriptor), get};
  return true;
}

const Timedelta* timedelta() {
  static const Timedelta* known = nullptr;
  if (known != nullptr) return known;
  Ref datetime = Ref::steal(PyImport_ImportModule("datetime"));
  Ref type = datetime ? Ref::steal(PyObject_GetAttrString(datetime.get(), "timedelta")) : Ref();
  if (!type) return nullptr;
  if (!PyType_Check(type.get())) {
    PyErr_SetString(PyExc_TypeError, "datetime.timedelta is not a class");
    return nullptr;
  }
  auto found = std::make_unique<Timedelta>();
  if (!field_of(type.get(), "days", found->days) || !field_of(type.get(), "seconds", found->seconds) ||
      !field_of(type.get(), "microseconds", found->microseconds)) {
    return nullptr;
  }
  found->type = std::move(type);
  known = found.release();  // never destroyed
  return known;
}

bool read_field(const Timedelta& api, const Timedelta::Field& field, PyObject* delta, long long& out) {
  Ref value = Ref::steal(field.get(field.descriptor.get(), delta, api.type.get()));
  if (!value) return false;
  out = PyLong_AsLongLong(value.get());
  return !(out == -1 && PyErr_Occurred());
}

}  // namespace

bool Converter<Duration>::convert(Borrowed object, Duration& out) {
  const Timedelta* api = timedelta();
  if (api == nullptr) return false;
  if (!PyObject_TypeCheck(object.get(), reinterpret_cast<PyTypeObject*>(api->type.get()))) {
    return detail::cannot_convert(object, "PyDelta");
  }
  long long days = 0, seconds = 0, microseconds = 0;
  if (!read_field(*api, api->days, object.get(), days) ||
      !read_field(*api, api->seconds, object.get(), seconds) ||
      !read_field(*api, api->microseconds, object.get(), microseconds)) {
    return false;
  }
  if (days < 0) {
    PyErr_SetString(PyExc_ValueError, "a negative timedelta cannot be converted to a duration");
    return false;
  }
  // A timedelta keeps 0 <= seconds < 86400 and 0 <= microseconds < 1000000.
  out.seconds = static_cast<std::uint64_t>(days) * 86400 + static_cast<std::uint64_t>(seconds);
  out.nanos = static_cast<std::uint32_t>(microseconds) * 1000;
  return true;
}

}  // namespace quillet::py
