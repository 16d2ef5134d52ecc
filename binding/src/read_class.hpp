// binding/src/read_class.hpp: reading a Python class into its compiled record.
#pragma once

#include "python.hpp"

#include "compiled_class.hpp"

namespace kestrix::py {

/// Reads `cls` into `record` (its schema already exists and may be referred to
/// by the classes compiled meanwhile): the kind of class, its element
/// declaration and every field. False with the error set on failure.
bool fill_record(PyObject* cls, CompiledClass& record);

}  // namespace kestrix::py
