// binding/src/model_checks.hpp: the ModelWarning checks: a class's metadata
// when it is first compiled, and documents that bind nothing to a model.
#pragma once

#include "python.hpp"

#include <string>
#include <string_view>
#include <vector>

#include "kestrix/reader_options.hpp"
#include "kestrix/value.hpp"

namespace kestrix::py {

struct CompiledClass;

/// Warns about a class that is no model, or whose field metadata holds a
/// "type" or a key kestrix does not know. Runs once per class, when it is
/// compiled. False with the error set when a warning was turned into an
/// exception (a warnings filter set to "error").
bool check_model(PyObject* cls, const CompiledClass& record);

/// Warns when the document element read into `root` bound no field of its
/// class, which has some, while the element has attributes or children:
/// the document and the model most likely do not belong together. Costs
/// nothing when some field was bound. False with the error set as above.
bool check_root_bound(const ObjectValue& root, PyObject* cls, std::string_view document,
                      const ReaderOptions& options);

/// Warns that a record iterator over `cls` ended without any record: no
/// element named `tag` was found; `seen` are the names met instead. False
/// with the error set as above.
bool warn_no_records(PyObject* cls, const std::string& tag, const std::vector<std::string>& seen);

}  // namespace kestrix::py
