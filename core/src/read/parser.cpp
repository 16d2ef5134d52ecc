// core/src/read/parser.cpp: read_document, the document element bound as one record.
#include "kestrix/parser.hpp"

#include <optional>
#include <utility>

#include "element_binder.hpp"
#include "expat_reader.hpp"

namespace kestrix {

namespace {

/// Binds the document element; its name goes to `element` when one is given.
Result<ValueTree> read(std::string_view document, const ClassSchema& root, std::uint64_t limit,
                       const ReaderOptions& options, std::string* element) {
    detail::ExpatReader reader(document, options, root.namespace_aware(),
                               detail::ExpatReader::Handover::Whole);
    detail::ElementBinder binder(reader, reader.namespaces(), root, limit, std::nullopt,
                                 options.strict);
    reader.attach(binder);
    const detail::ExpatReader::Stop stop = reader.run();
    if (element != nullptr) *element = binder.document_element();
    if (binder.has_outcome()) {
        Result<ValueTree> outcome = binder.take_outcome();
        // A failure inside the document element stops the reader, which expat
        // reports as a failure of its own: the binder's error comes first. A
        // bound element is followed to the end of the input, where anything
        // but comments, processing instructions and white space fails.
        if (!outcome || stop != detail::ExpatReader::Stop::Failed) return outcome;
        return reader.error();
    }
    if (stop == detail::ExpatReader::Stop::Failed) return reader.error();
    return BindError::schema("Unexpected end of XML stream");
}

}  // namespace

Result<ParsedDocument> read_document(std::string_view document, const ClassSchema& root,
                                     std::uint64_t limit, const ReaderOptions& options) {
    ParsedDocument parsed;
    Result<ValueTree> outcome = read(document, root, limit, options, &parsed.element);
    if (!outcome) return std::move(outcome).error();
    ValueTree& tree = outcome.value();
    parsed.root = tree.root;
    parsed.arena = std::move(tree.arena);
    return parsed;
}

Result<ValueTree> parse_document(std::string_view document, const ClassSchema& root,
                                 std::uint64_t limit, const ReaderOptions& options) {
    return read(document, root, limit, options, nullptr);
}

}  // namespace kestrix
