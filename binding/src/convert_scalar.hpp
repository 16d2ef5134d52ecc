// binding/src/convert_scalar.hpp: turns one scalar value into the Python object
// a field's annotation asks for (enum member, Decimal, date/time, plain value).
#pragma once

#include "python.hpp"

#include "kestrix/value.hpp"

namespace kestrix::py {

/// Converts a scalar `value` (Null, Bool, Int, Float or Str) by the annotation
/// `declared` (null when there is none). Conversions that fail fall back to the
/// next way and finally to the plain value; only a failing `Decimal` conversion
/// raises. New reference, or null with the exception set.
PyObject* convert_scalar(const Value& value, PyObject* declared);

/// True when `declared` is a class derived from `enum.Enum`. Never raises: any
/// failure while testing is cleared and means false.
bool is_enum_class(PyObject* declared);

}  // namespace kestrix::py
