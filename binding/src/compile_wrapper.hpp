// binding/src/compile_wrapper.hpp: wrapped lists, whose items stand inside one
// wrapper element of their own (`<items><item/>...</items>`).
#pragma once

#include "python.hpp"

#include <optional>
#include <string>

#include "kestrix/schema.hpp"

namespace kestrix::py {

/// Applies the "wrapper" metadata `wrapper` (the wrapper element's name) to
/// the compiled list field `field` of `owner`: the field becomes an element
/// of that name holding a made-up class (ClassSchema::list_wrapper) whose one
/// field is the list as it was, items named as before. False with TypeError
/// set when the wrapper is no non-empty str or the field is no list of
/// scalars or classes.
bool wrap_list(const ClassSchema& owner, FieldSchema& field, PyObject* wrapper,
               const std::optional<std::string>& declared_ns);

/// The list field inside a wrapper class.
inline const FieldSchema& wrapped_field(const ClassSchema& wrapper) noexcept {
    return wrapper.fields.front();
}

}  // namespace kestrix::py
