// Conversion of bound Python arguments into engine values.
//
// Seven kinds cover every parameter of the module: text, float vector, entry,
// entry list, unsigned, float rows (a batch of queries) and text list (a set
// of ids). A conversion failure leaves a Python exception
// set; convert_arguments() puts "argument '<name>': " in front of a plain
// TypeError so that the caller sees which parameter was wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "base/vector_entry.h"
#include "python/argument_binding.h"
#include "python/compat.h"

namespace sorvid::python {

// Rows of floats, possibly of different lengths, stored end to end: row i is
// values[ends[i - 1], ends[i]) (from 0 for the first).
struct FloatRows {
  std::vector<float> values;
  std::vector<std::size_t> ends;

  // Views of the rows, valid while `values` is unchanged.
  std::vector<std::span<const float>> rows() const;
};

using ArgValue = std::variant<std::monostate, std::string, std::vector<float>, VectorEntry, std::vector<VectorEntry>,
                              std::uint64_t, FloatRows, std::vector<std::string>>;

bool convert_text(PyObject* object, std::string& out);
bool convert_float_vector(PyObject* object, std::vector<float>& out);
bool convert_entry(PyObject* object, VectorEntry& out);
bool convert_entry_list(PyObject* object, std::vector<VectorEntry>& out);
bool convert_unsigned(PyObject* object, std::uint64_t& out);
// A 2-D C-contiguous buffer of 32- or 64-bit floats (a NumPy matrix) is read
// directly, one row per first index; any other sequence gives one row per
// item, each converted as a float vector.
bool convert_float_rows(PyObject* object, FloatRows& out);
// Any iterable of str except a str itself.
bool convert_text_list(PyObject* object, std::vector<std::string>& out);

// Converts one value of `kind`; on failure applies the prefixing rule for
// parameter `name` and returns false.
bool convert_argument(const char* name, ArgKind kind, PyObject* object, ArgValue& out);

// Converts every bound slot in parameter order (or takes its default); the
// first failure ends the conversion.
bool convert_arguments(const Signature& signature, PyObject* const* slots, ArgValue* values);

// Raises TypeError "'<type>' object is not an instance of '<wanted>'"
// ("'None' is not an instance of '<wanted>'" for None).
void raise_not_instance(PyObject* object, const char* wanted);

}  // namespace sorvid::python
