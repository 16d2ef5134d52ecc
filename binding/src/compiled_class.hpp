// binding/src/compiled_class.hpp: the binding's record of one compiled Python
// class, and class compilation with its process-wide cache.
#pragma once

#include "python.hpp"

#include <memory>
#include <vector>

#include "convert_scalar.hpp"
#include "kestrix/schema.hpp"
#include "pyref.hpp"

namespace kestrix::py {

/// One member of a choice field, beside its FieldSchema: what its items are
/// in Python.
struct MemberArg {
    Ref cls;            ///< the member's class (a model class, or a scalar type such as int)
    Converter convert;  ///< how a scalar member's values are read and written
};

/// What object building needs to pass one field to the class's constructor.
struct InitArg {
    Ref annotation;        ///< the field's annotation with Optional/Union stripped
    Ref py_name;           ///< the attribute name as a ready (interned) Python str
    Converter convert;     ///< how its scalar values (a list's items) are read and written
    bool init = true;      ///< a constructor parameter (dataclass `init`)
    bool kw_only = false;  ///< a keyword-only parameter (dataclass `kw_only`)
    Ref metadata;          ///< the field's metadata mapping as read (null: none), for checks
    /// A choice field's members, parallel to FieldSchema::choices.
    std::vector<MemberArg> members = {};
};

/// One compiled class: its schema and the Python objects beside it. Once
/// published in the cache a record is never freed, so raw pointers to it (and
/// to its schema) stay valid for the life of the process. The schema's `owner`
/// points back at the record.
struct CompiledClass {
    std::vector<InitArg> init_args;  ///< parallel to schema->fields
    std::shared_ptr<ClassSchema> schema;
    Ref cls;
    bool is_dataclass = false;
    /// A dataclass whose every field is a plain positional constructor
    /// parameter: an instance with every field present is built by one
    /// positional call.
    bool positional = false;
};

/// Returns the compiled record of `cls`, compiling (and caching) it on first
/// use; later calls cost one shared-lock lookup. Null with a Python exception
/// set on failure. Requires the interpreter lock.
const CompiledClass* compile_class(PyObject* cls);

/// compile_class for a class met while analysing a field of a class that this
/// thread is compiling. A class still being compiled (a recursive model) gives
/// its unfinished record, whose schema is complete by the time anything
/// outside the compilation can see it. Outside a compilation this is
/// compile_class.
const CompiledClass* compile_nested_class(PyObject* cls);

/// The compiled record a schema belongs to (found by the schema's identity, so
/// classes that share a __name__ never stand in for each other).
inline const CompiledClass* compiled_of(const ClassSchema& schema) noexcept {
    return static_cast<const CompiledClass*>(schema.owner);
}

/// `annotation` without its Optional/Union wrapper (never fails). New reference.
Ref strip_optional(PyObject* annotation);

}  // namespace kestrix::py
