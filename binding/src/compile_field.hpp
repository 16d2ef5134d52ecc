// binding/src/compile_field.hpp: compiling one field of a class.
#pragma once

#include "python.hpp"

#include <optional>
#include <string>
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

/// True when the field's metadata says "mixed" (a bool or NumPy boolean, true).
bool mixed_is_true(PyObject* metadata);

/// Chooses the converter of the scalar values of a field of `type` annotated
/// `stripped` (Optional removed); an enum kept as Other becomes Str. False
/// with the error set on failure.
bool choose_field_converter(PyObject* stripped, TypeDesc& type, Converter& out);

/// Sets the namespace rule of `field` of `owner`: `declared` when given, else
/// from the prefix of its XML name, else, for an element holding a class that
/// declares a namespace, that namespace.
void resolve_namespace(const ClassSchema& owner, FieldSchema& field,
                       const std::optional<std::string>& declared);

}  // namespace kestrix::py
