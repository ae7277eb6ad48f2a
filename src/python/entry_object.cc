#include "python/entry_object.h"

#include <new>
#include <string>
#include <utility>

#include "formats/quoted_text.h"
#include "python/argument_binding.h"
#include "python/conversions.h"
#include "python/entry_loans.h"
#include "python/panic.h"

namespace sorvid::python {
namespace {

PyTypeObject* g_entry_type = nullptr;

constexpr ParamSpec kConstructorParams[] = {
    {"id", ArgKind::kText},
    {"embedding", ArgKind::kFloatVector},
    {"metadata", ArgKind::kText, /*required=*/false},
    {"created_at", ArgKind::kText, /*required=*/false},
};
constexpr Signature kConstructor{"VectorEntry.__new__()", kConstructorParams};

PyObject* new_float_list(const std::vector<float>& values) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(static_cast<double>(values[i]));
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

EntryObject* allocate(PyTypeObject* type) {
  auto* self = reinterpret_cast<EntryObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  new (&self->borrow_flag) BorrowFlag();
  new (&self->value) VectorEntry();
  self->lent = nullptr;
  self->loans = nullptr;
  self->previous_loan = nullptr;
  self->next_loan = nullptr;
  return self;
}

PyObject* entry_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return run_at_boundary([&]() -> PyObject* {
    PyObject* slots[kMaxParams];
    if (!bind_tuple_and_dict(kConstructor, args, kwargs, slots)) return nullptr;
    ArgValue values[kMaxParams];
    if (!convert_arguments(kConstructor, slots, values)) return nullptr;
    EntryObject* self = allocate(type);
    if (self == nullptr) return nullptr;
    self->value.id = std::move(std::get<std::string>(values[0]));
    self->value.embedding = std::move(std::get<std::vector<float>>(values[1]));
    self->value.metadata = std::move(std::get<std::string>(values[2]));
    self->value.created_at = std::move(std::get<std::string>(values[3]));
    return reinterpret_cast<PyObject*>(self);
  });
}

void entry_dealloc(PyObject* object) {
  auto* self = reinterpret_cast<EntryObject*>(object);
  PyTypeObject* type = Py_TYPE(object);
  leave_loans(*self);
  self->value.~VectorEntry();
  self->borrow_flag.~BorrowFlag();
  type->tp_free(object);
  Py_DECREF(type);
}

PyObject* entry_repr(PyObject* object) {
  return run_at_boundary([&]() -> PyObject* {
    auto* self = reinterpret_cast<EntryObject*>(object);
    AccessGuard access(self->borrow_flag, Access::kShared);
    if (!access) return nullptr;
    std::string text = "VectorEntry(id=";
    const VectorEntry& value = entry_value(*self);
    append_quoted_text(text, value.id);
    text += ", dim=" + std::to_string(value.embedding.size()) + ")";
    return new_text(text);
  });
}

Py_ssize_t entry_length(PyObject* object) {
  return run_at_boundary_status<Py_ssize_t>([&]() -> Py_ssize_t {
    auto* self = reinterpret_cast<EntryObject*>(object);
    AccessGuard access(self->borrow_flag, Access::kShared);
    if (!access) return -1;
    return static_cast<Py_ssize_t>(entry_value(*self).embedding.size());
  });
}

// The four properties share one getter and one setter, told apart by the
// closure, which names the field.
enum class Field { kId, kEmbedding, kMetadata, kCreatedAt };

constexpr Field kFields[] = {Field::kId, Field::kEmbedding, Field::kMetadata, Field::kCreatedAt};

template <class Entry>
auto& text_field(Entry& entry, Field field) {
  switch (field) {
    case Field::kId: return entry.id;
    case Field::kMetadata: return entry.metadata;
    default: return entry.created_at;
  }
}

const char* field_name(Field field) {
  switch (field) {
    case Field::kId: return "id";
    case Field::kEmbedding: return "embedding";
    case Field::kMetadata: return "metadata";
    default: return "created_at";
  }
}

PyObject* get_field(PyObject* object, void* closure) {
  return run_at_boundary([&]() -> PyObject* {
    auto* self = reinterpret_cast<EntryObject*>(object);
    const Field field = *static_cast<const Field*>(closure);
    AccessGuard access(self->borrow_flag, Access::kShared);
    if (!access) return nullptr;
    const VectorEntry& value = entry_value(*self);
    if (field == Field::kEmbedding) return new_float_list(value.embedding);
    return new_text(text_field(value, field));
  });
}

int set_field(PyObject* object, PyObject* value, void* closure) {
  return run_at_boundary_status<int>([&]() -> int {
    auto* self = reinterpret_cast<EntryObject*>(object);
    const Field field = *static_cast<const Field*>(closure);
    if (value == nullptr) {
      PyErr_SetString(PyExc_AttributeError, "property has no deleter");
      return -1;
    }
    // Convert first: the conversion may run Python code, which may read this
    // very entry, so no access is held while it runs.
    ArgValue converted;
    const ArgKind kind = field == Field::kEmbedding ? ArgKind::kFloatVector : ArgKind::kText;
    if (!convert_argument(field_name(field), kind, value, converted)) return -1;
    AccessGuard access(self->borrow_flag, Access::kExclusive);
    if (!access) return -1;
    take_back(*self);  // the store's record is only read, so the entry changes its own copy
    if (field == Field::kEmbedding) {
      self->value.embedding = std::move(std::get<std::vector<float>>(converted));
    } else {
      text_field(self->value, field) = std::move(std::get<std::string>(converted));
    }
    return 0;
  });
}

// Pickles through the constructor, reached as the module's function
// _rebuild_entry (the class's own dotted name, "builtins.VectorEntry", is not
// one pickle can import): (_rebuild_entry, (id, embedding, metadata,
// created_at)). The embedding travels as Python floats, each exactly its
// float32 value, so that it comes back bit for bit.
PyObject* entry_reduce(PyObject* object, PyObject* /*unused*/) {
  return run_at_boundary([&]() -> PyObject* {
    auto* self = reinterpret_cast<EntryObject*>(object);
    AccessGuard access(self->borrow_flag, Access::kShared);
    if (!access) return nullptr;
    const VectorEntry& value = entry_value(*self);
    PyObject* arguments = PyTuple_New(4);
    if (arguments == nullptr) return nullptr;
    PyObject* fields[] = {new_text(value.id), nullptr, nullptr, nullptr};
    if (fields[0] != nullptr) fields[1] = new_float_list(value.embedding);
    if (fields[1] != nullptr) fields[2] = new_text(value.metadata);
    if (fields[2] != nullptr) fields[3] = new_text(value.created_at);
    for (Py_ssize_t i = 0; i < 4; ++i) PyTuple_SET_ITEM(arguments, i, fields[i]);  // steals; may be null
    if (fields[3] == nullptr) {
      Py_DECREF(arguments);  // a tuple releases only the items it holds
      return nullptr;
    }
    PyObject* module = PyImport_ImportModule(kEntryModuleName);
    PyObject* rebuild = module == nullptr ? nullptr : PyObject_GetAttrString(module, kRebuildEntryName);
    Py_XDECREF(module);
    PyObject* reduced = rebuild == nullptr ? nullptr : PyTuple_Pack(2, rebuild, arguments);
    Py_XDECREF(rebuild);
    Py_DECREF(arguments);
    return reduced;
  });
}

PyMethodDef entry_methods[] = {
    {"__reduce__", entry_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef entry_properties[] = {
    {"id", get_field, set_field, "", const_cast<Field*>(&kFields[0])},
    {"embedding", get_field, set_field, "", const_cast<Field*>(&kFields[1])},
    {"metadata", get_field, set_field, "", const_cast<Field*>(&kFields[2])},
    {"created_at", get_field, set_field, "", const_cast<Field*>(&kFields[3])},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot entry_slots[] = {
    {Py_tp_doc, const_cast<char*>("VectorEntry(id, embedding, metadata=\"\", created_at=\"\")\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(entry_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(entry_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(entry_repr)},
    {Py_mp_length, reinterpret_cast<void*>(entry_length)},
    {Py_tp_getset, entry_properties},
    {Py_tp_methods, entry_methods},
    {0, nullptr},
};

PyType_Spec entry_spec = {
    "builtins.VectorEntry", sizeof(EntryObject), 0, Py_TPFLAGS_DEFAULT, entry_slots,
};

}  // namespace

PyObject* rebuild_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  return PyObject_Vectorcall(reinterpret_cast<PyObject*>(entry_type()), args, static_cast<std::size_t>(nargs), nullptr);
}

PyObject* new_text(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
}

PyTypeObject* entry_type() {
  if (g_entry_type == nullptr) {
    g_entry_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&entry_spec));
  }
  return g_entry_type;
}

EntryObject* as_entry_object(PyObject* object) {
  if (g_entry_type == nullptr || !PyObject_TypeCheck(object, g_entry_type)) return nullptr;
  return reinterpret_cast<EntryObject*>(object);
}

PyObject* new_entry_object(VectorEntry value) {
  PyTypeObject* type = entry_type();
  if (type == nullptr) return nullptr;
  EntryObject* self = allocate(type);
  if (self == nullptr) return nullptr;
  self->value = std::move(value);
  return reinterpret_cast<PyObject*>(self);
}

PyObject* new_lent_entry_object(const VectorEntry& value, EntryLoans& loans) {
  if constexpr (!kLendsEntries) return new_entry_object(value);
  PyTypeObject* type = entry_type();
  if (type == nullptr) return nullptr;
  EntryObject* self = allocate(type);
  if (self == nullptr) return nullptr;
  lend(loans, *self, value);
  return reinterpret_cast<PyObject*>(self);
}

}  // namespace sorvid::python
