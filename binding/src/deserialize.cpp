// binding/src/deserialize.cpp: deserialize, from checked arguments to the built
// instance: compile the class, parse the document, build the objects.
#include "entry_points.hpp"

#include <string>
#include <string_view>

#include "build_object.hpp"
#include "collector_pause.hpp"
#include "compiled_class.hpp"
#include "element_notes.hpp"
#include "encodings.hpp"
#include "errors.hpp"
#include "kestrix/error.hpp"
#include "kestrix/parser.hpp"
#include "kestrix/schema.hpp"
#include "model_checks.hpp"
#include "released_lock.hpp"

namespace kestrix::py {

namespace {

/// read_document, with the interpreter lock released for large documents.
/// The bytes are those of an immutable `bytes` object the caller holds for
/// the whole call, the compiled schema is never changed once built, and the
/// options are plain C++ data: nothing Python is touched while it reads. The
/// result is made before the lock is taken back, and touches nothing Python.
Result<ParsedDocument> read_unlocked(std::string_view document, const ClassSchema& schema,
                                     const ReaderOptions& options) {
    const ReleasedLock released(document.size());
    return read_document(document, schema, MAX_DEPTH, options);
}

}  // namespace

PyObject* deserialize_document(const char* data, std::size_t size, PyObject* target_type,
                               bool strict) {
    // A class that cannot be compiled fails before the document is read.
    const CompiledClass* compiled = compile_class(target_type);
    if (compiled == nullptr) return ensure_error();
    const ClassSchema& schema = *compiled->schema;
    const std::string_view document(data, size);
    ReaderOptions options;
    if (!document_reader_options(document, options)) return nullptr;
    options.strict = strict;
    // The value tree lives until this call returns, on every path.
    Result<ParsedDocument> parsed = read_unlocked(document, schema, options);
    if (!parsed) return raise_bind_error(parsed.error());
    const TypeDesc root = TypeDesc::nested(compiled->schema);
    // Offsets in the tree count the bytes read: those of the UTF-8 made from
    // a document transcoded to be read.
    const std::string& transcoded = parsed.value().transcoded;
    const std::string_view read = transcoded.empty() ? document : std::string_view(transcoded);
    const ReaderOptions read_options = transcoded.empty() ? options : ReaderOptions();
    PyObject* result;
    {
        const CollectorPause pause;
        const DocumentScope scope(read, read_options);
        result = build_object(parsed.value().root, root, compiled->cls.get(), nullptr);
    }
    if (result != nullptr &&
        !check_root_bound(parsed.value().root.as_object(), target_type, read, read_options)) {
        Py_DECREF(result);
        return nullptr;
    }
    // A class bound to some other document usually fails in its constructor
    // (missing arguments); the note says which document element it was given.
    const std::string& element = parsed.value().element;
    if (result == nullptr && local_name(element) != schema.root_name()) {
        add_note(
            ("the document's root element is <" + element + ">, not <" + schema.root_name() + ">")
                .c_str());
    }
    return result;
}

}  // namespace kestrix::py
