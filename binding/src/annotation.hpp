// binding/src/annotation.hpp: turning a field's type annotation into a TypeDesc.
#pragma once

#include "python.hpp"

#include <optional>

#include "kestrix/schema.hpp"
#include "pyref.hpp"

namespace kestrix::py {

/// True when `annotation` is a union: its `__origin__` is named "Union" or
/// "UnionType", or it has no `__origin__` and its own type is named
/// "UnionType" (X | Y). Never fails: lookup errors are cleared.
bool is_union(PyObject* annotation);

/// The member a union stands for: its first member that is not NoneType (a
/// member without a readable str `__name__` counts as chosen). Null, with no
/// error set, when `annotation` is not a union or no member is chosen.
Ref union_member(PyObject* annotation);

/// The value type of a field annotated with `annotation`: unions by their
/// chosen member, list[X]/List[X] as List, model classes and dataclasses as
/// Nested (compiling them first), scalars by `__name__`, anything else Other.
/// nullopt with a Python exception set on failure.
std::optional<TypeDesc> analyse_annotation(PyObject* annotation);

}  // namespace kestrix::py
