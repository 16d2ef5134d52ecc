// binding/src/deserialize.cpp: deserialize, from checked arguments to the built
// instance: compile the class, parse the document, build the objects.
#include "entry_points.hpp"

#include <string_view>

#include "build_object.hpp"
#include "compiled_class.hpp"
#include "errors.hpp"
#include "kestrix/error.hpp"
#include "kestrix/parser.hpp"
#include "kestrix/schema.hpp"

namespace kestrix::py {

PyObject* deserialize_document(const char* data, std::size_t size, PyObject* target_type) {
    // A class that cannot be compiled fails before the document is read.
    const CompiledClass* compiled = compile_class(target_type);
    if (compiled == nullptr) return ensure_error();
    // The value tree lives until this call returns, on every path.
    Result<Value> parsed =
        parse_document(std::string_view(data, size), *compiled->schema, MAX_DEPTH);
    if (!parsed) return raise_bind_error(parsed.error());
    const TypeDesc root = TypeDesc::nested(compiled->schema);
    return build_object(parsed.value(), root, compiled->cls.get(), nullptr);
}

}  // namespace kestrix::py
