#include "python/conversions.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string_view>

#include "formats/nearest_float.h"
#include "python/borrow_flag.h"
#include "python/entry_object.h"
#include "python/panic.h"

namespace sorvid::python {
namespace {

// The float a 32-bit buffer item becomes on the sequence path, where it is
// widened to double and narrowed again: identical bits, except that a
// signalling NaN comes back quiet.
inline float requantise_float32(float value) {
  if (!std::isnan(value)) return value;
  return std::bit_cast<float>(std::bit_cast<std::uint32_t>(value) | 0x00400000u);
}

bool raise_str_to_vec() {
  PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
  return false;
}

// The checks shared by float vectors and entry lists: no str, and a sequence.
bool check_vector_source(PyObject* object) {
  if (PyUnicode_Check(object)) return raise_str_to_vec();
  if (!PySequence_Check(object)) {
    raise_not_instance(object, "Sequence");
    return false;
  }
  return true;
}

// The most room a conversion reserves up front, in bytes. The reported
// length is only a hint: a sequence's __len__ may claim far more items than
// its iteration yields, and reserving that much would fail (or exhaust
// memory) before a single item was read. Beyond this size the list simply
// grows as items arrive.
constexpr std::size_t kMaxReservedBytes = std::size_t{1} << 20;

// Items of `item_size` bytes to reserve: the length the object reports,
// capped at kMaxReservedBytes, or 0 when it reports none. An object without a
// usable length (len() raises TypeError) reserves nothing and is iterated as
// it is; every other exception from __len__ (KeyboardInterrupt, MemoryError,
// the object's own errors) is the caller's to see, so it stays set and false
// is returned, as operator.length_hint does.
bool length_hint(PyObject* object, std::size_t item_size, std::size_t& out) {
  out = 0;
  const Py_ssize_t length = PyObject_Size(object);
  if (length < 0) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    return true;
  }
  out = std::min(static_cast<std::size_t>(length), kMaxReservedBytes / item_size);
  return true;
}

// Reserves room for the items `object` reports, or fails as length_hint does.
template <class Item>
bool reserve_for(PyObject* object, std::vector<Item>& out) {
  std::size_t count = 0;
  if (!length_hint(object, sizeof(Item), count)) return false;
  return or_memory_error(false, [&] {
    out.reserve(count);
    return true;
  });
}

bool append_float_item(PyObject* item, std::vector<float>& out) {
  if (PyFloat_CheckExact(item)) {
    out.push_back(nearest_float(PyFloat_AS_DOUBLE(item)));
    return true;
  }
  const double value = PyFloat_AsDouble(item);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out.push_back(nearest_float(value));
  return true;
}

// Whether `object` is an exact tuple or list, whose items can be read by index
// exactly as its iterator would read them. Not lists on a free-threaded
// build, where another thread may change one while it is read.
bool items_readable_in_place(PyObject* object) {
#ifdef Py_GIL_DISABLED
  return PyTuple_CheckExact(object);
#else
  return PyTuple_CheckExact(object) || PyList_CheckExact(object);
#endif
}

// Appends the float of every item of an exact tuple or list, reading each by
// index as the sequence's iterator does: the length is read again before each
// item, as converting an item may run Python code that changes the list.
bool append_float_items_in_place(PyObject* object, std::vector<float>& out) {
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(object); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(object, i);
    if (PyFloat_CheckExact(item)) {
      out.push_back(nearest_float(PyFloat_AS_DOUBLE(item)));
      continue;
    }
    Py_INCREF(item);  // held while its conversion may remove it from the list
    const bool ok = append_float_item(item, out);
    Py_DECREF(item);
    if (!ok) return false;
  }
  return true;
}

// Whether the exception set says that `object`, a memoryview, cannot produce
// its items: it has several dimensions (its items would be sub-views), or a
// format Python cannot unpack (refused at iteration or at the first item).
bool memoryview_without_items(PyObject* object) {
  return PyMemoryView_Check(object) && PyErr_ExceptionMatches(PyExc_NotImplementedError);
}

// Calls `each(item)` for every item of `object`'s iteration; stops at the
// first failure of iteration or of `each`. Running out of memory inside
// `each` fails it with MemoryError, so the references held here are released.
//
// No item of a memoryview without items could be used, so it fails as a
// sequence of unusable items does: `each` is given the view itself, and its
// TypeError (a memoryview is neither a number nor an entry) is the error.
template <class Each>
bool for_each_item(PyObject* object, Each&& each) {
  PyObject* iterator = PyObject_GetIter(object);
  PyObject* item;
  int status = -1;
  while (iterator != nullptr && (status = PyIter_NextItem(iterator, &item)) == 1) {
    const bool ok = or_memory_error(false, [&] { return each(item); });
    Py_DECREF(item);
    if (!ok) {
      Py_DECREF(iterator);
      return false;
    }
  }
  Py_XDECREF(iterator);
  if (status == -1 && memoryview_without_items(object)) {
    PyErr_Clear();
    each(object);
  }
  return status == 0;
}

// Item format of a buffer of native 32- or 64-bit floats, or 0.
char native_float_format(const Py_buffer& view) {
  const char* format = view.format;
  if (format == nullptr) return 0;
  if (format[0] == '@' || format[0] == '=' || (format[0] == '<' && PY_LITTLE_ENDIAN)) ++format;
  if (format[0] == 'f' && format[1] == '\0' && view.itemsize == 4) return 'f';
  if (format[0] == 'd' && format[1] == '\0' && view.itemsize == 8) return 'd';
  return 0;
}

enum class BufferRead { kRead, kNoSuchBuffer, kFailed };

// Reads a C-contiguous buffer of floats or doubles with `ndim` dimensions
// (NumPy arrays, array.array) directly, all its items in order; `shape`
// receives its shape. kNoSuchBuffer, with no exception set, when the object
// offers no such buffer: the caller then iterates it. kFailed (MemoryError)
// when there was no room for the copy.
BufferRead read_float_buffer(PyObject* object, int ndim, std::vector<float>& out, Py_ssize_t* shape) {
  if (!PyObject_CheckBuffer(object)) return BufferRead::kNoSuchBuffer;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
    PyErr_Clear();
    return BufferRead::kNoSuchBuffer;
  }
  const char format = view.ndim == ndim ? native_float_format(view) : 0;
  if (format == 0) {
    PyBuffer_Release(&view);
    return BufferRead::kNoSuchBuffer;
  }
  for (int i = 0; i < ndim; ++i) shape[i] = view.shape != nullptr ? view.shape[i] : view.len / view.itemsize;
  const bool copied = or_memory_error(false, [&] {
    const std::size_t count = static_cast<std::size_t>(view.len / view.itemsize);
    out.resize(count);
    if (format == 'f') {
      const float* items = static_cast<const float*>(view.buf);
      for (std::size_t i = 0; i < count; ++i) out[i] = requantise_float32(items[i]);
    } else {
      const double* items = static_cast<const double*>(view.buf);
      for (std::size_t i = 0; i < count; ++i) out[i] = nearest_float(items[i]);
    }
    return true;
  });
  PyBuffer_Release(&view);
  return copied ? BufferRead::kRead : BufferRead::kFailed;
}

// Applies the prefixing rule to the exception that is set: a plain TypeError
// is replaced by TypeError("argument '<name>': <message>") with the same
// __cause__; every other exception is left as it is.
void prefix_type_error(const char* name) {
  PyObject* caught = PyErr_GetRaisedException();
  if (caught == nullptr || Py_TYPE(caught) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(caught);
    return;
  }
  PyObject* text = PyObject_Str(caught);
  if (text == nullptr) {
    Py_DECREF(caught);
    return;
  }
  PyObject* message = PyUnicode_FromFormat("argument '%s': %U", name, text);
  Py_DECREF(text);
  if (message == nullptr) {
    Py_DECREF(caught);
    return;
  }
  PyObject* replacement = PyObject_CallOneArg(PyExc_TypeError, message);
  Py_DECREF(message);
  if (replacement == nullptr) {
    Py_DECREF(caught);
    return;
  }
  PyException_SetCause(replacement, PyException_GetCause(caught));  // steals the new reference
  Py_DECREF(caught);
  PyErr_SetObject(PyExc_TypeError, replacement);
  Py_DECREF(replacement);
}

}  // namespace

void raise_not_instance(PyObject* object, const char* wanted) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", wanted);
    return;
  }
  PyObject* qualname = PyType_GetQualName(Py_TYPE(object));
  if (qualname == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object is not an instance of '%s'", wanted);
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname, wanted);
  Py_DECREF(qualname);
}

bool convert_text(PyObject* object, std::string& out) {
  if (!PyUnicode_Check(object)) {
    raise_not_instance(object, "str");
    return false;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

bool convert_float_vector(PyObject* object, std::vector<float>& out) {
  out.clear();
  if (!check_vector_source(object)) return false;
  Py_ssize_t length = 0;
  const BufferRead buffer = read_float_buffer(object, 1, out, &length);
  if (buffer != BufferRead::kNoSuchBuffer) return buffer == BufferRead::kRead;
  if (!reserve_for(object, out)) return false;
  if (items_readable_in_place(object)) {
    return or_memory_error(false, [&] { return append_float_items_in_place(object, out); });
  }
  return for_each_item(object, [&](PyObject* item) { return append_float_item(item, out); });
}

bool convert_entry(PyObject* object, VectorEntry& out) {
  EntryObject* entry = as_entry_object(object);
  if (entry == nullptr) {
    raise_not_instance(object, "VectorEntry");
    return false;
  }
  AccessGuard access(entry->borrow_flag, Access::kShared);
  if (!access) return false;
  out = entry_value(*entry);
  return true;
}

bool convert_entry_list(PyObject* object, std::vector<VectorEntry>& out) {
  out.clear();
  if (!check_vector_source(object)) return false;
  if (!reserve_for(object, out)) return false;
  return for_each_item(object, [&](PyObject* item) {
    out.emplace_back();
    return convert_entry(item, out.back());
  });
}

bool convert_unsigned(PyObject* object, std::uint64_t& out) {
  PyObject* integer = PyLong_Check(object) ? Py_NewRef(object) : PyNumber_Index(object);
  if (integer == nullptr) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  Py_DECREF(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

std::vector<std::span<const float>> FloatRows::rows() const {
  std::vector<std::span<const float>> views;
  views.reserve(ends.size());
  std::size_t begin = 0;
  for (const std::size_t end : ends) {
    views.emplace_back(values.data() + begin, end - begin);
    begin = end;
  }
  return views;
}

bool convert_float_rows(PyObject* object, FloatRows& out) {
  out.values.clear();
  out.ends.clear();
  if (!check_vector_source(object)) return false;
  Py_ssize_t shape[2] = {0, 0};
  const BufferRead buffer = read_float_buffer(object, 2, out.values, shape);
  if (buffer == BufferRead::kFailed) return false;
  if (buffer == BufferRead::kRead) {
    return or_memory_error(false, [&] {
      const auto columns = static_cast<std::size_t>(shape[1]);
      for (Py_ssize_t row = 1; row <= shape[0]; ++row) out.ends.push_back(static_cast<std::size_t>(row) * columns);
      return true;
    });
  }
  if (!reserve_for(object, out.ends)) return false;
  std::vector<float> row;
  return for_each_item(object, [&](PyObject* item) {
    if (!convert_float_vector(item, row)) return false;
    out.values.insert(out.values.end(), row.begin(), row.end());
    out.ends.push_back(out.values.size());
    return true;
  });
}

bool convert_text_list(PyObject* object, std::vector<std::string>& out) {
  out.clear();
  if (PyUnicode_Check(object)) return raise_str_to_vec();
  if (!reserve_for(object, out)) return false;
  return for_each_item(object, [&](PyObject* item) { return convert_text(item, out.emplace_back()); });
}

bool convert_argument(const char* name, ArgKind kind, PyObject* object, ArgValue& out) {
  bool ok = false;
  switch (kind) {
    case ArgKind::kText: ok = convert_text(object, out.emplace<std::string>()); break;
    case ArgKind::kFloatVector: ok = convert_float_vector(object, out.emplace<std::vector<float>>()); break;
    case ArgKind::kEntry: ok = convert_entry(object, out.emplace<VectorEntry>()); break;
    case ArgKind::kEntryList: ok = convert_entry_list(object, out.emplace<std::vector<VectorEntry>>()); break;
    case ArgKind::kUnsigned: ok = convert_unsigned(object, out.emplace<std::uint64_t>()); break;
    case ArgKind::kFloatRows: ok = convert_float_rows(object, out.emplace<FloatRows>()); break;
    case ArgKind::kTextList: ok = convert_text_list(object, out.emplace<std::vector<std::string>>()); break;
  }
  if (!ok) prefix_type_error(name);
  return ok;
}

bool convert_arguments(const Signature& signature, PyObject* const* slots, ArgValue* values) {
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    const ParamSpec& param = signature.params[i];
    if (slots[i] != nullptr) {
      if (!convert_argument(param.name, param.kind, slots[i], values[i])) return false;
    } else if (param.kind == ArgKind::kUnsigned) {
      values[i] = param.default_unsigned;
    } else {
      values[i] = std::string(param.default_text);
    }
  }
  return true;
}

}  // namespace sorvid::python
