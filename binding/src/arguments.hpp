// binding/src/arguments.hpp: argument parsing of the module functions.
#pragma once

#include "python.hpp"

#include <cstddef>

namespace kestrix::py {

/// The parameters of one function: the first `positional` (all when
/// negative) may be given by position or by keyword, the rest by keyword
/// only; the first `required` are required, the rest default to None.
struct Signature {
    const char* function;  ///< shown as "{function}()" in messages
    const char* const* names;
    int count;
    int required;
    int positional = -1;
};

/// Fills `out[0..count)` with borrowed references (null for an omitted optional
/// parameter) from a METH_FASTCALL | METH_KEYWORDS call. On a bad argument list
/// raises TypeError with the interpreter's own wording and returns false.
bool parse_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out);

/// Checks that `source` is bytes (or a subclass) and takes its buffer in place.
/// On failure raises TypeError with the note "while processing 'source'".
bool source_bytes(PyObject* source, const char** data, std::size_t* size);

/// Checks that `target_type` is a type; on failure raises TypeError with the
/// note "while processing 'target_type'".
bool check_target_type(PyObject* target_type);

/// Checks the records of iterparse: `target_type` a type or a non-empty
/// tuple of types, `tag` null (not given), None, a str or, beside a tuple of types, a tuple of
/// as many str or None. On failure raises TypeError (ValueError for a tuple of
/// tags of another length) with a note naming the argument.
bool check_record_types(PyObject* target_type, PyObject* tag);

}  // namespace kestrix::py
