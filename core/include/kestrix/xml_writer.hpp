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

namespace kestrix {

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
    /// Narrows the indentation, writes the line break (if due) and "</name>".
    void end_tag(std::string_view name);
    /// The same for a name written as "prefix:local".
    void end_tag(std::string_view prefix, std::string_view local);

    /// Writes no line breaks until the matching end_compact (calls nest).
    void begin_compact() noexcept { ++compact_; }
    void end_compact() noexcept { --compact_; }

    /// The number of bytes written so far: a place for insert().
    std::size_t size() const noexcept { return used_; }
    /// Inserts `text` at byte `at` (at most size()) of what has been written.
    void insert(std::size_t at, std::string_view text);

    /// The character that made the last attribute() or text() fail: a control
    /// character other than tab, line feed and carriage return, U+FFFE or
    /// U+FFFF. The output is incomplete after such a failure.
    char32_t rejected() const noexcept { return rejected_; }

    /// The text written so far; the writer is left empty.
    std::string take();

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
};

}  // namespace kestrix
