// binding/src/errors.hpp: every Python exception the binding raises is made here.
#pragma once

#include "python.hpp"

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

/// Adds a PEP 678 note to the exception being raised; where the interpreter has
/// no notes (or adding fails) the exception is kept without it.
void add_note(const char* note);

/// The `__name__` of `obj`'s type, for messages.
std::string type_name(PyObject* obj);

/// True when a Python call failed with AttributeError (the error stays set).
bool error_is_attribute_error();

/// Makes sure a failed call left an exception: sets SystemError "attempted to
/// fetch exception but none was set" when it did not. Returns null.
PyObject* ensure_error();

}  // namespace kestrix::py
