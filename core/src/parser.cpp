// core/src/parser.cpp: parse_document, the document element bound as one record.
#include "kestrix/parser.hpp"

#include <optional>

#include "element_binder.hpp"
#include "expat_reader.hpp"

namespace kestrix {

Result<Value> parse_document(std::string_view document, const ClassSchema& root,
                             std::uint64_t limit) {
    detail::ExpatReader reader(document);
    detail::ElementBinder binder(reader, root, limit, std::nullopt);
    const detail::ExpatReader::Stop stop = reader.run();
    // The binder stops the reader once the document element is bound or fails,
    // which expat reports as a failure of its own: the binder's outcome comes first.
    if (binder.has_outcome()) return binder.take_outcome();
    if (stop == detail::ExpatReader::Stop::Failed) return reader.error();
    return BindError::schema("Unexpected end of XML stream");
}

}  // namespace kestrix
