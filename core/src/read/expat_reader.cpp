// core/src/read/expat_reader.cpp: feeding, suspension, decoding choices and error mapping of expat.
#include "expat_reader.hpp"

#include "expanded_name.hpp"
#include "xml_chars.hpp"

#include <algorithm>
#include <new>
#include <string>

namespace kestrix::detail {

namespace {

/// Bytes handed to expat per call in chunks: large enough to amortise the
/// call, small enough that the partial token expat keeps between calls stays
/// cheap to copy.
constexpr std::size_t CHUNK = 64 * 1024;

/// Bytes of a held document handed to expat per call when it goes whole: the
/// bound of expat's own copy of it.
constexpr std::size_t WHOLE_SLICE = 64 * 1024 * 1024;

/// The longest entity name an error note repeats, and how far the bytes of a
/// start tag are searched for the reference.
constexpr std::size_t MAX_ENTITY_NAME = 256;
constexpr std::size_t MAX_SCAN = 64 * 1024;

std::string error_text(XML_Error code) {
    const XML_LChar* text = XML_ErrorString(code);
    return text != nullptr ? std::string(text) : "unknown error " + std::to_string(code);
}

/// Width and byte order of the code units around `at`, judged from the ASCII
/// character `c` expected there: a UTF-16 document spells it with a NUL byte
/// beside it, which no other document holds.
enum class Units { Bytes, Utf16Le, Utf16Be, Unknown };

Units units_at(std::string_view input, std::size_t at, char c) noexcept {
    if (at + 1 >= input.size()) return Units::Unknown;
    if (input[at] == c) return input[at + 1] == '\0' ? Units::Utf16Le : Units::Bytes;
    if (input[at] == '\0' && input[at + 1] == c) return Units::Utf16Be;
    return Units::Unknown;
}

}  // namespace

ExpatReader::ExpatReader(std::string_view document, const ReaderOptions& options, bool namespaces,
                         Handover handover)
    : byte_table_(options.byte_table),
      follow_declaration_(options.follow_declaration),
      fed_(false),
      slice_(handover == Handover::Whole ? WHOLE_SLICE : CHUNK),
      document_(document),
      namespaces_(namespaces) {
    // No encoding given: expat takes it from the byte-order mark or declaration.
    const XML_Char* encoding = options.follow_declaration ? nullptr : "UTF-8";
    parser_.reset(namespaces ? XML_ParserCreateNS(encoding, NS_SEPARATOR)
                             : XML_ParserCreate(encoding));
    if (!parser_) throw std::bad_alloc();
    // The prefix comes with each name, so a record tag or a message can use it.
    if (namespaces) XML_SetReturnNSTriplet(parser_.get(), XML_TRUE);
    if (options.follow_declaration) {
        XML_SetUnknownEncodingHandler(parser_.get(), &unknown_encoding, this);
    }
}

ExpatReader::ExpatReader(const ReaderOptions& options, bool namespaces)
    : ExpatReader(std::string_view(), options, namespaces) {
    fed_ = true;
    final_ = false;
}

int XMLCALL ExpatReader::unknown_encoding(void* self, const XML_Char*, XML_Encoding* info) {
    const ExpatReader& reader = *static_cast<const ExpatReader*>(self);
    if (!reader.byte_table_) return XML_STATUS_ERROR;
    std::copy(reader.byte_table_->begin(), reader.byte_table_->end(), info->map);
    info->data = nullptr;
    info->convert = nullptr;
    info->release = nullptr;
    return XML_STATUS_OK;
}

void ExpatReader::feed(std::string_view chunk, bool final) noexcept {
    document_ = chunk;
    offset_ = 0;
    final_ = final;
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
            const std::size_t length = std::min(slice_, document_.size() - offset_);
            const bool last = final_ && offset_ + length == document_.size();
            if (length == 0 && !last) return Stop::NeedsInput;
            result = XML_Parse(parser, document_.data() + offset_, static_cast<int>(length),
                               last ? XML_TRUE : XML_FALSE);
            offset_ += length;
            if (last) final_ = false;  // handed over: expat now knows the input ended
        }
        if (result == XML_STATUS_SUSPENDED) return Stop::Suspended;
        if (result == XML_STATUS_ERROR) return Stop::Failed;
    }
}

std::uint64_t ExpatReader::bytes_read() const noexcept {
    const XML_Index index = XML_GetCurrentByteIndex(parser_.get());
    return index < 0 ? 0 : static_cast<std::uint64_t>(index);
}

TagPosition ExpatReader::tag_position() const noexcept {
    TagPosition at;
    at.offset = bytes_read();
    if (!fed_) return at;  // a held document can be read again when positions are needed
    constexpr XML_Size most = 0xFFFFFFFFu;
    at.line = static_cast<std::uint32_t>(std::min(XML_GetCurrentLineNumber(parser_.get()), most));
    at.column =
        static_cast<std::uint32_t>(std::min(XML_GetCurrentColumnNumber(parser_.get()) + 1, most));
    return at;
}

void ExpatReader::stop(bool resumable) noexcept {
    XML_StopParser(parser_.get(), resumable ? XML_TRUE : XML_FALSE);
}

void ExpatReader::report_nodes(bool on) noexcept {
    XML_Parser parser = parser_.get();
    XML_SetCommentHandler(parser, on ? comment_handler_ : nullptr);
    XML_SetProcessingInstructionHandler(parser, on ? instruction_handler_ : nullptr);
}

void ExpatReader::mute() noexcept {
    XML_Parser parser = parser_.get();
    XML_SetElementHandler(parser, nullptr, nullptr);
    XML_SetCharacterDataHandler(parser, nullptr);
}

bool ExpatReader::failed_at_end_of_input() const noexcept {
    return XML_GetErrorCode(parser_.get()) == XML_ERROR_NO_ELEMENTS;
}

ErrorLocation ExpatReader::location() const {
    ErrorLocation at;
    at.line = XML_GetCurrentLineNumber(parser_.get());
    at.column = XML_GetCurrentColumnNumber(parser_.get()) + 1;
    return at;
}

BindError ExpatReader::error() const {
    const XML_Error code = XML_GetErrorCode(parser_.get());
    ErrorLocation at = location();
    BindError error = [&] {
        switch (code) {
            case XML_ERROR_NO_ELEMENTS:
                return BindError::schema("Unexpected end of XML stream");
            case XML_ERROR_BAD_CHAR_REF:
                return BindError::xml_parse(error_text(code));
            case XML_ERROR_UNDEFINED_ENTITY:
                return BindError::unescape(error_text(code));
            default: {
                const XML_Index position = XML_GetCurrentByteIndex(parser_.get());
                return BindError::xml_reader(
                    position < 0 ? 0 : static_cast<std::uint64_t>(position), error_text(code));
            }
        }
    }();
    if (code == XML_ERROR_UNDEFINED_ENTITY) at.entity = undefined_entity_name();
    error.set_location(std::move(at));
    return error;
}

std::string ExpatReader::undefined_entity_name() const {
    // The failure stands at the reference itself in content, at the start tag
    // in an attribute value: the first reference from there that is neither a
    // character reference nor one of the five predefined entities names it.
    std::size_t offset = 0;
    const std::string_view input = current_event_input(&offset);
    Units units = units_at(input, offset, '&');
    if (units == Units::Unknown) units = units_at(input, offset, '<');
    if (units == Units::Unknown) return {};
    const std::size_t width = units == Units::Bytes ? 1 : 2;
    const std::size_t end = std::min(input.size(), offset + MAX_SCAN);
    const auto byte = [&](std::size_t k) -> std::uint32_t {
        return static_cast<unsigned char>(input[k]);
    };
    bool in_name = false;
    std::string name;
    for (std::size_t i = offset; i + width <= end; i += width) {
        std::uint32_t c = units == Units::Bytes     ? byte(i)
                          : units == Units::Utf16Le ? byte(i) | byte(i + 1) << 8
                                                    : byte(i) << 8 | byte(i + 1);
        if (!in_name) {
            if (c == '>') return {};
            in_name = c == '&';
            continue;
        }
        if (c == ';') {
            if (name.empty() || name[0] == '#' || name == "amp" || name == "lt" || name == "gt" ||
                name == "quot" || name == "apos") {
                in_name = false;
                name.clear();
                continue;
            }
            return name;
        }
        if ((c >= 0xD800 && c < 0xE000) || name.size() > MAX_ENTITY_NAME) return {};
        if (units == Units::Bytes && !follow_declaration_) {
            name += char(c);  // UTF-8 already
            continue;
        }
        // A single-byte encoding: its table's, or Latin-1 (the one expat knows
        // itself with bytes above ASCII).
        if (units == Units::Bytes && byte_table_) {
            const std::int32_t mapped = (*byte_table_)[c];
            if (mapped < 0) return {};
            c = static_cast<std::uint32_t>(mapped);
        }
        append_utf8(name, c);
    }
    return {};
}

std::string_view ExpatReader::current_event_input(std::size_t* offset) const noexcept {
    int at = 0;
    int size = 0;
    const char* buffer = XML_GetInputContext(parser_.get(), &at, &size);
    if (buffer != nullptr && at >= 0 && size >= at) {
        *offset = static_cast<std::size_t>(at);
        return std::string_view(buffer, static_cast<std::size_t>(size));
    }
    // A parser built without a kept input context: the held document serves.
    const XML_Index index = XML_GetCurrentByteIndex(parser_.get());
    if (fed_ || index < 0 || static_cast<std::uint64_t>(index) > document_.size()) return {};
    *offset = static_cast<std::size_t>(index);
    return document_;
}

bool ExpatReader::current_tag_is_empty() const noexcept {
    // expat reports `<a/>` as a start and an end event. During a start event the
    // current byte range is the whole tag, which ends in "/>" exactly when the
    // tag is self-closing. Inside an entity's replacement text expat reports no
    // range, or the entity reference's, which never does.
    const int count = XML_GetCurrentByteCount(parser_.get());
    std::size_t offset = 0;
    const std::string_view input = current_event_input(&offset);
    if (count < 2 || offset + static_cast<std::size_t>(count) > input.size()) return false;
    const std::size_t end = offset + static_cast<std::size_t>(count);
    // The tag's last character is '>', spelled in one byte or, in UTF-16, in
    // two: a NUL byte beside it tells which, as no other document holds one.
    const char last = input[end - 1];
    const char before = input[end - 2];
    if (last == '>' && before != '\0') return before == '/';
    if (count < 4) return false;
    if (last == '>') return input[end - 4] == '\0' && input[end - 3] == '/';  // UTF-16BE
    if (before == '>' && last == '\0') return input[end - 4] == '/' && input[end - 3] == '\0';
    return false;
}

}  // namespace kestrix::detail
