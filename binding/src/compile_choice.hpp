// binding/src/compile_choice.hpp: compiling choice fields, whose child elements
// of several names each bind to the member their name selects.
#pragma once

#include "python.hpp"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "compiled_class.hpp"

namespace kestrix::py {

/// What a field is compiled from, as compile_field has read it.
struct FieldSource {
    std::string_view name;  ///< the Python attribute name
    PyObject* metadata;     ///< the field's metadata mapping, or null
    PyObject* annotation;   ///< the whole annotation
    FieldRole role;         ///< the role the metadata gives
    bool named;             ///< the metadata gives an explicit "name"
    const std::optional<std::string>& declared_ns;
};

enum class ChoiceOutcome { NotChoice, Compiled, Failed };

/// Compiles the field as a choice field when it is one: a "choices" mapping
/// in its metadata (element name to member type), a "mixed" list of str and
/// model classes, or (with no explicit "name") a union of two or more model
/// classes. Fills `out` and the members of `arg`. Failed with TypeError set
/// for a malformed choice.
ChoiceOutcome compile_choice(ClassSchema& owner, const FieldSource& source, InitArg& arg,
                             std::optional<FieldSchema>& out);

/// Checks that no element name is claimed twice in `fields` where a choice
/// member is one of the claims (plain fields keep their last-one-wins rule).
/// The members of a choice field inside a wrapped list are checked among
/// themselves. False with TypeError set, naming both claims.
bool check_claimed_names(const std::string& class_name, std::span<const FieldSchema> fields,
                         std::span<const InitArg> args);

}  // namespace kestrix::py
