// Binding of Python call arguments to a method's declared parameters.
//
// A method declares its parameters once (name, conversion kind, default);
// binding fills one slot per parameter from positional and keyword
// arguments with CPython's own rules and messages, and leaves a slot empty
// (nullptr) when the argument was not given and has a default.
#pragma once

#include <cstdint>
#include <span>

#include "python/compat.h"

namespace sorvid::python {

// What a parameter accepts and what it becomes (see conversions.h).
enum class ArgKind { kText, kFloatVector, kEntry, kEntryList, kUnsigned, kFloatRows, kTextList };

struct ParamSpec {
  const char* name;
  ArgKind kind;
  bool required = true;
  const char* default_text = "";       // used by an optional kText parameter
  std::uint64_t default_unsigned = 0;  // used by an optional kUnsigned parameter
};

struct Signature {
  const char* full_name;  // "VectorStore.upsert()", used in binding messages
  std::span<const ParamSpec> params;
};

// The most parameters any method of the module declares.
inline constexpr std::size_t kMaxParams = 4;

// Binds a vectorcall (METH_FASTCALL | METH_KEYWORDS) argument list. Fills
// `slots` with borrowed references. Returns false with TypeError set.
bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots);

// Binds a classic (args tuple, kwargs dict) argument list, as tp_new gets it.
bool bind_tuple_and_dict(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace sorvid::python
