// Small shims so that one source builds against CPython 3.11 and newer.
// Each shim supplies a newer C API call in terms of older ones.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// PyIter_NextItem (3.14): 1 with a new reference in *item, 0 at the end,
// -1 with an exception set.
#if PY_VERSION_HEX < 0x030E0000
static inline int PyIter_NextItem(PyObject* iter, PyObject** item) {
  *item = PyIter_Next(iter);
  if (*item != nullptr) return 1;
  return PyErr_Occurred() ? -1 : 0;
}
#endif

// PyErr_GetRaisedException / PyErr_SetRaisedException (3.12): the current
// exception as one normalised object.
#if PY_VERSION_HEX < 0x030C0000
static inline PyObject* PyErr_GetRaisedException(void) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_DECREF(type);
  Py_XDECREF(traceback);
  return value;
}
static inline void PyErr_SetRaisedException(PyObject* exc) {
  if (exc == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}
#endif

// Py_mod_gil (3.13): declares that the module does not need the GIL on
// free-threaded builds. Older versions have no such slot.
#if defined(Py_mod_gil)
#define SORVID_MOD_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define SORVID_MOD_GIL_SLOT
#endif
