// core/src/read/parser.cpp: read_document, the document element bound as one record.
#include "kestrix/parser.hpp"

#include <optional>
#include <type_traits>
#include <utility>

#include "element_binder.hpp"
#include "expat_reader.hpp"
#include "held_document.hpp"
#include "transcode.hpp"
#include "xml_reader.hpp"

namespace kestrix {

namespace detail {

namespace {

/// The binding of the document element, read by `reader`: false when the
/// reader declined the document before any event.
template <class Reader>
bool bind_with(Reader& reader, const ClassSchema& root, std::uint64_t limit,
               const ReaderOptions& options, std::string* element, Result<ValueTree>& out) {
    ElementBinder binder(reader, reader.namespaces(), root, limit, std::nullopt, options.strict);
    reader.attach(binder);
    const auto stop = reader.run();
    if constexpr (std::is_same_v<Reader, XmlReader>) {
        if (stop == XmlReader::Stop::Declined) return false;
    }
    const bool failed = stop == Reader::Stop::Failed;
    if (element != nullptr) *element = binder.document_element();
    if (binder.has_outcome()) {
        out = binder.take_outcome();
        // A failure inside the document element stops the reader, which
        // reports it as a failure of its own: the binder's error comes first.
        // A bound element is followed to the end of the input, where anything
        // but comments, processing instructions and white space fails.
        if (out && failed) out = reader.error();
        return true;
    }
    out = failed ? reader.error() : BindError::schema("Unexpected end of XML stream");
    return true;
}

}  // namespace

Result<ValueTree> read_held(std::string_view document, const ClassSchema& root, std::uint64_t limit,
                            const ReaderOptions& options, std::string* element, HeldReader choice,
                            std::string* transcoded) {
    Result<ValueTree> out = ValueTree();
    if (choice == HeldReader::Own && !options.follow_declaration) {
        XmlReader reader(document, root.namespace_aware());
        if (bind_with(reader, root, limit, options, element, out)) return out;
    } else if (choice == HeldReader::Own) {
        // Decoded as declared: read in UTF-8 made from it, unless expat is
        // to judge the encoding.
        if (std::optional<Transcoder> source = Transcoder::of(document, options)) {
            std::string text;
            source->feed(document, true, text);
            XmlReader reader(text, root.namespace_aware());
            reader.read_transcoded(*source);
            if (bind_with(reader, root, limit, options, element, out)) {
                if (std::optional<BindError> cut = source->error_at_cut(reader)) {
                    out = std::move(*cut);
                }
                if (!out) out = source->located(std::move(out).error(), text, 0);
                if (transcoded != nullptr) *transcoded = std::move(text);
                return out;
            }
        }
    }
    ExpatReader reader(document, options, root.namespace_aware(), ExpatReader::Handover::Whole);
    bind_with(reader, root, limit, options, element, out);
    return out;
}

}  // namespace detail

Result<ParsedDocument> read_document(std::string_view document, const ClassSchema& root,
                                     std::uint64_t limit, const ReaderOptions& options) {
    ParsedDocument parsed;
    Result<ValueTree> outcome = detail::read_held(document, root, limit, options, &parsed.element,
                                                  detail::HeldReader::Own, &parsed.transcoded);
    if (!outcome) return std::move(outcome).error();
    ValueTree& tree = outcome.value();
    parsed.root = tree.root;
    parsed.arena = std::move(tree.arena);
    return parsed;
}

Result<ValueTree> parse_document(std::string_view document, const ClassSchema& root,
                                 std::uint64_t limit, const ReaderOptions& options) {
    return detail::read_held(document, root, limit, options, nullptr, detail::HeldReader::Own);
}

}  // namespace kestrix
