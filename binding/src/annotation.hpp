// binding/src/annotation.hpp: turning a field's type annotation into a TypeDesc.
#pragma once

#include "python.hpp"

#include <optional>
#include <vector>

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

/// True when `annotation` is a class with a field mapping (a dataclass or a
/// model class). Never fails: lookup errors are cleared.
bool is_model_class(PyObject* annotation);

/// The members of a union other than NoneType, in order; `annotation` alone
/// when it is no union. Never fails: lookup errors are cleared.
std::vector<Ref> non_none_members(PyObject* annotation);

/// The item annotation of list[X] / List[X]; null (no error) for anything
/// else, and for a bare List.
Ref list_item_annotation(PyObject* annotation);

/// The value type of a field annotated with `annotation`: unions by their
/// chosen member, list[X]/List[X] as List, model classes and dataclasses as
/// Nested (compiling them first), scalars by `__name__`, anything else Other.
/// nullopt with a Python exception set on failure.
std::optional<TypeDesc> analyse_annotation(PyObject* annotation);

}  // namespace kestrix::py
