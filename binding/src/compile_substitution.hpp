// binding/src/compile_substitution.hpp: type substitution, the subclasses an
// element's xsi:type may choose in place of the class a field names.
#pragma once

#include "python.hpp"

#include "kestrix/schema.hpp"

namespace kestrix::py {

/// Fills `schema.substitutes` (the schema of `cls`) with every subclass of
/// `cls`, at any depth, that declares a type name (`xml_element(...,
/// type_name=...)`), each compiled. Decided once, when `cls` is compiled:
/// subclasses defined later are not seen. False with the error set on failure,
/// or with TypeError when two classes declare the same type name.
bool compile_substitutes(PyObject* cls, ClassSchema& schema);

}  // namespace kestrix::py
