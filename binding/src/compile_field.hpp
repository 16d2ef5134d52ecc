// binding/src/compile_field.hpp: compiling one field of a class.
#pragma once

#include "python.hpp"

#include <vector>

#include "compiled_class.hpp"

namespace kestrix::py {

/// Reads the field `key` (a dataclass field, or a model's field info when
/// `from_model`) of a class whose schema is `owner` into `args` and
/// `fields`; `hints` is the class's resolved type hints, or null. False with
/// the error set on failure.
bool compile_field(PyObject* key, PyObject* field, bool from_model, PyObject* hints,
                   ClassSchema& owner, std::vector<InitArg>& args,
                   std::vector<FieldSchema>& fields);

}  // namespace kestrix::py
