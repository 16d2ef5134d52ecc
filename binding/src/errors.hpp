// binding/src/errors.hpp: every Python exception the binding raises is made here.
#pragma once

#include "python.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "kestrix/error.hpp"

namespace kestrix::py {

/// PanicException: an internal fault no input should reach. Derived directly
/// from BaseException; created once per process. Returns a borrowed reference
/// (null with an error set if it cannot be created).
PyObject* panic_exception_type();

/// Raises ValueError whose only argument is the error's message. Returns null.
PyObject* raise_bind_error(const BindError& error);

/// Raises TypeError "'{type}' object is not an instance of '{expected}'".
/// Returns null.
PyObject* raise_type_mismatch(PyObject* obj, const char* expected);

/// Raises PanicException with `message`. Returns null.
PyObject* raise_panic(const char* message);

/// An exception that already carries this many notes gains no more: a failure
/// deep inside a recursive model names the innermost fields, not every level
/// above them.
inline constexpr Py_ssize_t kMaxNotes = 16;

/// Adds a PEP 678 note to the exception being raised (on every supported
/// Python, 3.10 included); if adding fails the exception is kept without it.
void add_note(const char* note);

/// Adds the note "while {action} field '{field}' of {cls}", followed by
/// " (item {item})" for an item of a list field.
void add_field_note(const char* action, std::string_view field, std::string_view cls,
                    std::optional<std::size_t> item = std::nullopt);

/// The `__name__` of `obj`'s type, for messages.
std::string type_name(PyObject* obj);

/// True when a Python call failed with AttributeError (the error stays set).
bool error_is_attribute_error();

/// Makes sure a failed call left an exception: sets SystemError "attempted to
/// fetch exception but none was set" when it did not. Returns null.
PyObject* ensure_error();

}  // namespace kestrix::py
