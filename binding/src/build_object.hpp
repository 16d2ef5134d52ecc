// binding/src/build_object.hpp: turns a parsed value tree into Python objects:
// model instances, dataclasses, lists, dicts and converted scalars.
#pragma once

#include "python.hpp"

#include "convert_scalar.hpp"
#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"

namespace kestrix::py {

/// Builds the Python object for `value`, read beside its declared `type`.
/// `cls` is the class to instantiate for an object value (null: the class the
/// schema was compiled from, or a dict when there is none); `convert` says how
/// scalar values are converted (null: left plain). The value tree
/// is only read. New reference, or null with the exception set; nothing built
/// on the way survives a failure. Requires the interpreter lock.
PyObject* build_object(const Value& value, const TypeDesc& type, PyObject* cls,
                       const Converter* convert);

/// The descriptor for values with no schema at hand: objects become dicts,
/// lists become empty lists, scalars stay plain.
const TypeDesc& untyped_descriptor();

}  // namespace kestrix::py
