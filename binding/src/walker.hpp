// binding/src/walker.hpp: reads a model instance into a Value tree for the emitter.
#pragma once

#include "python.hpp"

#include <optional>

#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"

namespace kestrix::py {

/// Reads `obj` field by field as `schema` describes it into a Value::Object
/// whose slots follow `schema->fields`. Unreadable attributes and list fields
/// that hold no `list` are left out; None becomes Null. Nested instances are
/// walked against their field's schema, at most MAX_DEPTH class levels deep
/// (root included): deeper graphs and cycles raise ValueError. Returns nullopt
/// with the Python exception set when a conversion fails. The tree's strings,
/// lists and objects are allocated in `arena`.
std::optional<Value> object_to_value(PyObject* obj, const ClassSchema& schema, Arena& arena);

}  // namespace kestrix::py
