// core/src/expat_reader.cpp: chunked feeding, suspension and error mapping of expat.
#include "expat_reader.hpp"

#include "expanded_name.hpp"

#include <algorithm>
#include <new>
#include <string>

namespace kestrix::detail {

namespace {

/// Bytes handed to expat per call: large enough to amortise the call, small
/// enough that the partial token expat keeps between calls stays cheap to copy.
constexpr std::size_t CHUNK = 64 * 1024;

std::string error_text(XML_Error code) {
    const XML_LChar* text = XML_ErrorString(code);
    return text != nullptr ? std::string(text) : "unknown error " + std::to_string(code);
}

}  // namespace

ExpatReader::ExpatReader(std::string_view document, bool namespaces)
    : parser_(namespaces ? XML_ParserCreateNS("UTF-8", NS_SEPARATOR) : XML_ParserCreate("UTF-8")),
      document_(document),
      namespaces_(namespaces) {
    if (!parser_) throw std::bad_alloc();
    // The prefix comes with each name, so a record tag or a message can use it.
    if (namespaces) XML_SetReturnNSTriplet(parser_.get(), XML_TRUE);
}

ExpatReader::Stop ExpatReader::run() {
    XML_Parser parser = parser_.get();
    while (true) {
        XML_ParsingStatus status;
        XML_GetParsingStatus(parser, &status);
        XML_Status result;
        if (status.parsing == XML_SUSPENDED) {
            result = XML_ResumeParser(parser);
        } else if (status.parsing == XML_FINISHED) {
            return Stop::Finished;
        } else {
            const std::size_t length = std::min(CHUNK, document_.size() - offset_);
            const bool final = offset_ + length == document_.size();
            result = XML_Parse(parser, document_.data() + offset_, static_cast<int>(length),
                               final ? XML_TRUE : XML_FALSE);
            offset_ += length;
        }
        if (result == XML_STATUS_SUSPENDED) return Stop::Suspended;
        if (result == XML_STATUS_ERROR) return Stop::Failed;
    }
}

bool ExpatReader::failed_at_end_of_input() const noexcept {
    return XML_GetErrorCode(parser_.get()) == XML_ERROR_NO_ELEMENTS;
}

BindError ExpatReader::error() const {
    const XML_Error code = XML_GetErrorCode(parser_.get());
    switch (code) {
        case XML_ERROR_NO_ELEMENTS:
            return BindError::schema("Unexpected end of XML stream");
        case XML_ERROR_BAD_CHAR_REF:
            return BindError::xml_parse(error_text(code));
        case XML_ERROR_UNDEFINED_ENTITY:
            return BindError::unescape(error_text(code));
        default: {
            const XML_Index position = XML_GetCurrentByteIndex(parser_.get());
            return BindError::xml_reader(position < 0 ? 0 : static_cast<std::uint64_t>(position),
                                         error_text(code));
        }
    }
}

bool ExpatReader::current_tag_is_empty() const noexcept {
    // expat reports `<a/>` as a start and an end event. During a start event the
    // current byte range is the whole tag in the document, which ends in "/>"
    // exactly when the tag is self-closing. Inside an entity's replacement text
    // expat reports the range of the entity reference instead, which never does.
    const XML_Index at = XML_GetCurrentByteIndex(parser_.get());
    const int count = XML_GetCurrentByteCount(parser_.get());
    if (at < 0 || count < 2) return false;
    const auto end = static_cast<std::uint64_t>(at) + static_cast<std::uint64_t>(count);
    if (end > document_.size()) return false;
    return document_[end - 2] == '/' && document_[end - 1] == '>';
}

}  // namespace kestrix::detail
