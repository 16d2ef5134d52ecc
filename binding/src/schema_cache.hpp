// binding/src/schema_cache.hpp: the process-wide cache of compiled classes.
#pragma once

#include "python.hpp"

#include <memory>
#include <vector>

#include "compiled_class.hpp"

namespace kestrix::py {

/// The published record of `cls`, or null when it has none yet.
const CompiledClass* cached(PyObject* cls);

/// Publishes every record of `group` at once (after working out each schema's
/// namespace layout); from then on they belong to the cache and `group` is
/// empty.
void publish(std::vector<std::unique_ptr<CompiledClass>>& group);

}  // namespace kestrix::py
