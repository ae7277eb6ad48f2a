// The module sorvid_vector_db: multi-phase initialisation whose exec step
// adds the two classes and __version__. Importing starts no thread and
// touches no file.
#include "python/compat.h"
#include "python/entry_object.h"
#include "python/store_object.h"

namespace sorvid::python {
namespace {

// From the file VERSION, through the build.
constexpr const char* kVersion = SORVID_VERSION;

// Appends `name` to the module's __all__ (creating the list when missing),
// then sets the attribute. Steals nothing; returns -1 on error.
int add_public(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return -1;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return -1;
    }
  }
  PyObject* name_object = PyUnicode_FromString(name);
  const int appended = name_object == nullptr ? -1 : PyList_Append(all, name_object);
  Py_XDECREF(name_object);
  Py_DECREF(all);
  if (appended < 0) return -1;
  return PyObject_SetAttrString(module, name, value);
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyObject* qualname = PyType_GetQualName(Py_TYPE(module));
    if (qualname == nullptr) return -1;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'module'", qualname);
    Py_DECREF(qualname);
    return -1;
  }
  PyTypeObject* entry = entry_type();
  if (entry == nullptr || add_public(module, "VectorEntry", reinterpret_cast<PyObject*>(entry)) < 0) {
    return -1;
  }
  PyTypeObject* store = store_type();
  if (store == nullptr || add_public(module, "VectorStore", reinterpret_cast<PyObject*>(store)) < 0) {
    return -1;
  }
  PyObject* version = PyUnicode_FromString(kVersion);
  if (version == nullptr) return -1;
  const int added = add_public(module, "__version__", version);
  Py_DECREF(version);
  return added;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    SORVID_MOD_GIL_SLOT{0, nullptr},
};

// Private: only pickles name it (see entry_object.h).
PyMethodDef module_functions[] = {
    {kRebuildEntryName, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rebuild_entry)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, kEntryModuleName, "", 0, module_functions, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace sorvid::python

PyMODINIT_FUNC PyInit_sorvid_vector_db(void) { return PyModuleDef_Init(&sorvid::python::module_def); }
