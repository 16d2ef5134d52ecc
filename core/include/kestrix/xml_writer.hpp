// core/include/kestrix/xml_writer.hpp: the byte-level XML writer: tags,
// escaped attribute values and texts, and indentation, in one growing buffer.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrix {

/// The characters an output encoding can carry: all of ASCII, and the
/// characters of the Basic Multilingual Plane added to the set. The writer
/// references every other character of a text or attribute value.
class EncodableSet {
public:
    EncodableSet() : bits_(0x10000 / 64, 0) {}
    void add(char32_t c) {
        if (c < 0x10000) bits_[c / 64] |= std::uint64_t{1} << (c % 64);
    }
    bool contains(char32_t c) const noexcept {
        return c < 0x80 || (c < 0x10000 && (bits_[c / 64] >> (c % 64)) & 1);
    }

private:
    std::vector<std::uint64_t> bits_;
};

/// How a document is written beyond its content.
struct WriteOptions {
    /// The step in spaces per level; absent writes everything on one line.
    std::optional<std::uint64_t> indent;
    /// Writes an element with no content as "<a/>" instead of "<a></a>".
    bool short_empty_elements = false;
    /// The characters the output encoding carries; null: every character.
    const EncodableSet* encodable = nullptr;
};

/// The output of one document: a single buffer grown in place, and the
/// indentation state when the document is indented.
///
/// With indentation, a start tag is preceded by a line feed and the current
/// width in spaces when the previous event was a tag, and widens the indentation
/// by one step; an end tag first narrows it (never below zero) and is preceded by
/// a line break the same way; a text clears the pending break, so an element
/// holding text keeps its start tag, text and end tag on one line. Between
/// begin_compact and end_compact no line break is written at all: inside an
/// element whose character content is data, added whitespace would change it.
class XmlWriter {
public:
    /// `indent` is the step in spaces per level; absent writes everything on one line.
    explicit XmlWriter(std::optional<std::uint64_t> indent);
    /// A writer with the given indentation, empty-element form and encodable
    /// characters (`options.encodable`, when set, must outlive the writer).
    explicit XmlWriter(const WriteOptions& options);

    /// Writes the line break (if due) and "<name". Attributes may follow.
    void open_start_tag(std::string_view name);
    /// The same for a name written as "prefix:local" (just "local" when the
    /// prefix is empty).
    void open_start_tag(std::string_view prefix, std::string_view local);
    /// Appends ` name="value"` to the open start tag, the value escaped. False
    /// when the value holds a character XML 1.0 cannot carry (see rejected()).
    [[nodiscard]] bool attribute(std::string_view name, std::string_view value);
    /// The same for a name written as "prefix:local".
    [[nodiscard]] bool attribute(std::string_view prefix, std::string_view local,
                                 std::string_view value);
    /// Writes ">" and widens the indentation.
    void close_start_tag();
    /// Writes the escaped text (an empty one still clears the pending break).
    /// False when it holds a character XML 1.0 cannot carry (see rejected()).
    [[nodiscard]] bool text(std::string_view text);
    /// Writes "<name>", the escaped text and "</name>", as open_start_tag,
    /// close_start_tag, text and end_tag in turn would. False as text() is.
    [[nodiscard]] bool text_element(std::string_view name, std::string_view text);
    /// Writes `text` as a CDATA section: "]]>" is split across two sections,
    /// and a carriage return (which a reader would turn into a line feed) or a
    /// character the encoding cannot carry ends the section and is written as
    /// a reference. Nothing for an empty text. False as text() is.
    [[nodiscard]] bool cdata(std::string_view text);
    /// Writes markup as given (a comment or processing instruction the caller
    /// has checked), on a line of its own as an element would be.
    void markup(std::string_view text) {
        line_break();
        put(text);
        pending_break_ = true;
    }
    /// Ends the open start tag as an empty-element tag: "/>".
    void end_empty_tag();
    /// Narrows the indentation, writes the line break (if due) and "</name>".
    /// Under short_empty_elements, an element with nothing written since its
    /// start tag is closed as "<name/>" instead.
    void end_tag(std::string_view name);
    /// The same for a name written as "prefix:local".
    void end_tag(std::string_view prefix, std::string_view local);

    /// Writes no line breaks until the matching end_compact (calls nest).
    void begin_compact() noexcept { ++compact_; }
    void end_compact() noexcept { --compact_; }

    /// The number of bytes written so far: a place for insert().
    std::size_t size() const noexcept { return used_; }
    /// Where the name of the first start tag written from byte `start` on
    /// ends: a place for insert().
    std::size_t name_end(std::size_t start) const noexcept {
        std::size_t at = start;
        while (at < used_ && out_.get()[at] != '<') ++at;
        for (++at; at < used_; ++at) {
            const char c = out_.get()[at];
            if (c == ' ' || c == '>' || c == '/') break;
        }
        return at;
    }
    /// Inserts `text` at byte `at` (at most size()) of what has been written.
    void insert(std::size_t at, std::string_view text);

    /// The character that made the last attribute() or text() fail: a control
    /// character other than tab, line feed and carriage return, U+FFFE or
    /// U+FFFF. The output is incomplete after such a failure.
    char32_t rejected() const noexcept { return rejected_; }

    /// The text written so far; the writer is left empty.
    std::string take();
    /// The text written since the last clear() or take(), left in place.
    std::string_view written() const noexcept { return {out_.get(), used_}; }
    /// Forgets the text written so far (the indentation state is kept).
    void clear() noexcept {
        used_ = 0;
        start_tag_end_ = kNoStartTag;
    }

    /// Class elements currently open; bounds the recursion of write_element.
    std::uint64_t depth = 0;

private:
    void line_break();
    /// Room for `n` more bytes at out_.get() + used_.
    char* room(std::size_t n) {
        if (capacity_ - used_ < n) grow(n);
        return out_.get() + used_;
    }
    void grow(std::size_t n);
    void put(char c) {
        *room(1) = c;
        ++used_;
    }
    void put(std::string_view s) {
        if (s.empty()) return;
        std::memcpy(room(s.size()), s.data(), s.size());
        used_ += s.size();
    }
    void put_name(std::string_view prefix, std::string_view local);
    /// Puts `s` with the bytes selected by `mask` replaced by references.
    bool put_escaped(std::string_view s, std::uint8_t mask);
    bool put_escaped_from(const char* run, const char* p, const char* end, std::uint8_t mask);
    /// Puts the reference "&#xH;" for `c`.
    void put_reference(char32_t c);
    /// Rewrites the start tag just written to end with "/>" (the element has
    /// no content and short_empty_elements holds); true.
    [[gnu::noinline]] bool shortened();

    struct Free {
        void operator()(char* p) const noexcept { std::free(p); }
    };
    // The document so far is the first used_ bytes of out_; each write checks
    // the room once and copies, and growing reallocates in place where it can.
    std::unique_ptr<char, Free> out_;
    std::size_t capacity_ = 0;
    std::size_t used_ = 0;
    bool indented_;
    std::uint64_t step_ = 0;
    std::uint64_t width_ = 0;
    bool pending_break_ = false;
    std::uint64_t compact_ = 0;
    char32_t rejected_ = 0;
    bool short_empty_ = false;
    static constexpr std::size_t kNoStartTag = ~std::size_t{0};
    /// Where the last start tag ended (used_ right after its ">").
    std::size_t start_tag_end_ = kNoStartTag;
    const EncodableSet* encodable_ = nullptr;
    /// The byte classes escaped in texts and in attribute values: the
    /// non-ASCII bytes join them when the encoding is restricted.
    std::uint8_t text_mask_;
    std::uint8_t attribute_mask_;
};

}  // namespace kestrix
