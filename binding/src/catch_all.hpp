// binding/src/catch_all.hpp: catch-all fields: compiling them, and generic
// nodes (kestrix.Element, Comment, ProcessingInstruction) to and from values.
#pragma once

#include "python.hpp"

#include <cstdint>
#include <optional>

#include "compile_choice.hpp"
#include "compiled_class.hpp"
#include "kestrix/arena.hpp"
#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"

namespace kestrix::py {

/// True when `annotation` is kestrix.Element. False with an error set only
/// when the class cannot be imported (check PyErr_Occurred).
bool is_element_class(PyObject* annotation);

enum class CatchAllOutcome { NotCatchAll, Compiled, Failed };

/// Compiles the field as a catch-all field when it is one: `"any_attributes":
/// True` in its metadata (a dict of the attributes no other field takes), or
/// an element field annotated `list[kestrix.Element]` that names no element
/// (the child elements no other field takes). A field annotated with Element
/// otherwise is a TypeError.
CatchAllOutcome compile_catch_all(const FieldSource& source, std::optional<FieldSchema>& out);

/// The Python object of a generic node or caught attributes value (see
/// kestrix/catch_all.hpp). New reference; null with an error set on failure.
PyObject* build_generic(const ObjectValue& object);

/// Stores the value of a catch-all field: a list of nodes (or one node, for
/// a choice member) for AnyElements, a dict for AnyAttributes. `failed_item`
/// names the list item at fault. False with an error set on failure.
bool store_catch_all(PyObject* v, FieldRole role, Arena& arena, Value& out,
                     std::optional<std::size_t>& failed_item);

/// Stores one node (an Element, Comment or ProcessingInstruction).
bool store_node(PyObject* v, Arena& arena, Value& out, std::uint64_t depth = 0);

}  // namespace kestrix::py
