// core/src/read/transcode.cpp: UTF-16, Latin-1, US-ASCII and byte tables to UTF-8.
#include "transcode.hpp"

#include <expat.h>

#include <algorithm>

#include "kestrix/encoding.hpp"
#include "xml_chars.hpp"
#include "xml_reader.hpp"

namespace kestrix::detail {

namespace {

/// Not UTF-8 anywhere: what an undecodable character becomes.
constexpr char INVALID = '\xF8';

}  // namespace

std::optional<Transcoder> Transcoder::of(std::string_view head, const ReaderOptions& options) {
    if (!options.follow_declaration || head.size() < 2) return std::nullopt;
    const auto first = static_cast<unsigned char>(head[0]);
    const auto second = static_cast<unsigned char>(head[1]);
    if (first == 0 || (first == 0xFE && second == 0xFF)) {
        return Transcoder(SourceEncoding::Utf16Be, nullptr);
    }
    if (second == 0 || (first == 0xFF && second == 0xFE)) {
        return Transcoder(SourceEncoding::Utf16Le, nullptr);
    }
    if (first == 0xEF) return std::nullopt;  // a UTF-8 byte-order mark, or its start
    std::string name = declared_encoding(head);
    if (name.empty() || names_utf8(name) || names_utf16(name)) return std::nullopt;
    if (options.byte_table) {
        return Transcoder(SourceEncoding::Table, options.byte_table, std::move(name));
    }
    if (equals_ignoring_case(name, "ISO-8859-1")) {
        return Transcoder(SourceEncoding::Latin1, nullptr, std::move(name));
    }
    if (equals_ignoring_case(name, "US-ASCII")) {
        return Transcoder(SourceEncoding::Ascii, nullptr, std::move(name));
    }
    return std::nullopt;
}

Transcoder::Transcoder(SourceEncoding encoding, std::shared_ptr<const ByteTable> table,
                       std::string declared)
    : encoding_(encoding), table_(std::move(table)), declared_(std::move(declared)) {}

void Transcoder::feed(std::string_view chunk, bool final, std::string& out) {
    if (encoding_ == SourceEncoding::Utf16Le || encoding_ == SourceEncoding::Utf16Be) {
        utf16(chunk, final, out);
        return;
    }
    source_ += chunk.size();
    out.reserve(out.size() + chunk.size());
    const char* p = chunk.data();
    const char* const end = p + chunk.size();
    while (p != end) {
        // A run of ASCII goes over as it is.
        const char* run = p;
        while (p != end && static_cast<unsigned char>(*p) < 0x80) ++p;
        out.append(run, static_cast<std::size_t>(p - run));
        if (p == end) break;
        const auto byte = static_cast<unsigned char>(*p++);
        if (encoding_ == SourceEncoding::Latin1) {
            append_utf8(out, byte);
        } else if (encoding_ == SourceEncoding::Table && (*table_)[byte] >= 0) {
            append_utf8(out, static_cast<std::uint32_t>((*table_)[byte]));
        } else {
            out += INVALID;
        }
    }
}

void Transcoder::utf16(std::string_view chunk, bool final, std::string& out) {
    std::string joined;
    std::string_view in = chunk;
    if (!kept_.empty()) {
        joined = kept_;
        joined.append(chunk);
        in = joined;
        kept_.clear();
    }
    const bool little = encoding_ == SourceEncoding::Utf16Le;
    const auto unit = [&](std::size_t i) -> std::uint32_t {
        const auto a = static_cast<unsigned char>(in[i]);
        const auto b = static_cast<unsigned char>(in[i + 1]);
        return little ? a | (b << 8) : (a << 8) | b;
    };
    const std::size_t n = in.size();
    std::size_t i = 0;
    if (!started_) {
        if (n < 2 && !final) {
            kept_.assign(in);
            return;
        }
        started_ = true;
        if (n >= 2 && unit(0) == 0xFEFF) {
            out += "\xEF\xBB\xBF";
            source_ += 2;
            i = 2;
        }
    }
    // At most three UTF-8 bytes per code unit (four per surrogate pair).
    const std::size_t written = out.size();
    out.resize(written + (n - i) / 2 * 3);
    char* w = out.data() + written;
    const std::size_t start = i;
    while (i + 2 <= n) {
        const std::uint32_t u = unit(i);
        if (u < 0xD800 || u >= 0xE000) {
            write_utf8(w, u);
            i += 2;
            continue;
        }
        if (u >= 0xDC00) {  // a trail surrogate with no lead
            *w++ = INVALID;
            i += 2;
            continue;
        }
        if (i + 4 > n) break;  // its trail may come in the next chunk
        const std::uint32_t trail = unit(i + 2);
        if (trail < 0xDC00 || trail >= 0xE000) {  // a lead surrogate with no trail
            unpaired_lead_ = true;
            *w++ = INVALID;
            i += 2;
            continue;
        }
        write_utf8(w, 0x10000 + ((u - 0xD800) << 10) + (trail - 0xDC00));
        i += 4;
    }
    out.resize(static_cast<std::size_t>(w - out.data()));
    source_ += i - start;
    if (i == n) return;
    if (!final) {
        kept_.assign(in.substr(i));
        return;
    }
    // The input ends inside a character: the UTF-8 ends before it.
    cut_ = (n - i) % 2 != 0 ? XML_ERROR_UNCLOSED_TOKEN : XML_ERROR_PARTIAL_CHAR;
}

bool Transcoder::accepts_declared(std::string_view name) const noexcept {
    switch (encoding_) {
        case SourceEncoding::Utf16Le:
            return equals_ignoring_case(name, "UTF-16") || equals_ignoring_case(name, "UTF-16LE");
        case SourceEncoding::Utf16Be:
            return equals_ignoring_case(name, "UTF-16") || equals_ignoring_case(name, "UTF-16BE");
        default:
            return equals_ignoring_case(name, declared_);
    }
}

std::uint64_t Transcoder::source_offset(std::string_view tail, std::uint64_t tail_offset,
                                        std::uint64_t offset) const noexcept {
    offset = std::clamp(offset, tail_offset, tail_offset + tail.size());
    const bool wide = encoding_ == SourceEncoding::Utf16Le || encoding_ == SourceEncoding::Utf16Be;
    // Every character starts with a byte that is no continuation byte: one
    // source byte, or one UTF-16 code unit, two for a four-byte sequence.
    std::uint64_t after = 0;
    for (std::size_t k = static_cast<std::size_t>(offset - tail_offset); k < tail.size(); ++k) {
        const auto c = static_cast<unsigned char>(tail[k]);
        if ((c & 0xC0) == 0x80) continue;
        after += !wide ? 1 : (c >= 0xF0 && c <= 0xF4) ? 4 : 2;
    }
    return after > source_ ? 0 : source_ - after;
}

BindError Transcoder::located(BindError error, std::string_view tail,
                              std::uint64_t tail_offset) const {
    if (error.kind() != BindError::Kind::XmlReader) return error;
    BindError mapped =
        BindError::xml_reader(source_offset(tail, tail_offset, error.position()), error.text());
    if (error.location()) mapped.set_location(*error.location());
    return mapped;
}

std::optional<BindError> Transcoder::error_at_cut(const XmlReader& reader) const {
    if (cut_ == XML_ERROR_NONE) return std::nullopt;
    switch (reader.error_code()) {
        case XML_ERROR_NONE:         // the document was read whole before it
        case XML_ERROR_NO_ELEMENTS:  // between tokens inside the document element
        case XML_ERROR_UNCLOSED_TOKEN:
        case XML_ERROR_PARTIAL_CHAR:
            break;
        default:
            return std::nullopt;
    }
    // The reader stands at the end of the input, or at the token it cuts short.
    BindError error = BindError::xml_reader(reader.bytes_read(), XML_ErrorString(cut_));
    error.set_location(reader.location());
    return error;
}

}  // namespace kestrix::detail
