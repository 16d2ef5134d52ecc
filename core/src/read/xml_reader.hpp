// core/src/read/xml_reader.hpp: kestrix's own XML reader of a UTF-8 document held in memory.
#pragma once

#include <expat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "block_scan.hpp"
#include "input_buffer.hpp"
#include "kestrix/error.hpp"
#include "reader_control.hpp"
#include "reader_events.hpp"
#include "reader_namespaces.hpp"

namespace kestrix::detail {

class Dtd;
struct Entity;
class Transcoder;

/// Reads a UTF-8 document held whole in memory, checking every
/// well-formedness rule of XML 1.0 (fifth edition, its name rules included)
/// and, in namespace mode, of Namespaces in XML 1.0, and sends the same
/// events ExpatReader does (see ReaderEvents). Line ends are normalized, and
/// attribute values as for undeclared (CDATA) attributes.
///
/// A document type declaration is read with its internal subset: entities
/// replaced in content and attribute values, attribute defaults applied and
/// values of declared types normalized. One with an external subset or a
/// parameter-entity reference is not taken: `run` then returns `Declined`
/// before any event (a declaration always precedes the document element),
/// and the caller reads the document with ExpatReader instead, which leaves
/// such declarations partly unread.
///
/// Input may also be fed in chunks: it gives exactly the events and
/// failures of the same document held. A token the chunk ends in is read
/// again once more input came (or the input ended), a text run goes on where
/// it stopped, consumed input is dropped, and positions are counted as the
/// input goes.
///
/// Failures carry expat's error codes, so that a failure reads with the text
/// expat gives the same kind of fault.
class XmlReader final : public ReaderControl {
public:
    enum class Stop {
        Suspended,   ///< the sink suspended the reading; `run` goes on
        Failed,      ///< not well-formed, or the sink stopped the reading for good
        Finished,    ///< the whole document was read
        Declined,    ///< a document type declaration: not read here (no event sent)
        NeedsInput,  ///< fed input only: everything fed so far is read
    };

    /// A reader of `document`, which must outlive it.
    explicit XmlReader(std::string_view document, bool namespaces = false,
                       Scan scan = Scan::Blocks) noexcept;
    ~XmlReader();
    XmlReader(const XmlReader&) = delete;
    XmlReader& operator=(const XmlReader&) = delete;

    /// A reader of input fed through `feed`.
    explicit XmlReader(bool namespaces, Scan scan = Scan::Blocks);

    /// Fed input only, after `run` returned `NeedsInput` (or before the
    /// first run): the next chunk (copied), and whether it is the last one.
    void feed(std::string_view chunk, bool final);
    /// Fed input only: every byte fed so far, while nothing is dropped yet,
    /// which holds until the document element starts (so always when `run`
    /// declined the document).
    std::string_view buffered() const noexcept { return {begin_, std::size_t(end_ - begin_)}; }

    /// Reads UTF-8 that `source` (which must outlive the reading) made from
    /// another encoding: an XML declaration then names that encoding, or the
    /// document is declined when the name is not one `source` accepts (or is
    /// missing where it must be given).
    void read_transcoded(const Transcoder& source) noexcept { source_ = &source; }
    /// Where `buffered()` starts in the document.
    std::uint64_t buffered_offset() const noexcept { return base_; }
    /// Fed input: true while every byte fed is kept (see `buffered`).
    bool keeps_all_input() const noexcept {
        return phase_ == Phase::Start || phase_ == Phase::Prolog;
    }

    /// Sends the events to `sink`, which must outlive the reading.
    void attach(ReaderEvents& sink) noexcept;
    bool namespaces() const noexcept { return namespaces_; }

    /// Reads on until the sink suspends or stops the reading, a fault is met
    /// or the document ends.
    Stop run();

    /// The failure after `run` returned `Failed` on the reader's own account,
    /// mapped to a BindError as ExpatReader maps expat's.
    BindError error() const;
    XML_Error error_code() const noexcept { return error_code_; }
    /// True when the failure was the end of input before the document element closed.
    bool failed_at_end_of_input() const noexcept { return error_code_ == XML_ERROR_NO_ELEMENTS; }
    /// Byte offset of the current event (or of the failure).
    std::uint64_t bytes_read() const noexcept { return event_; }
    /// True once any name read (element, attribute, target or reference)
    /// held a character above ASCII: the names where the fifth edition's
    /// rules and older readers' differ.
    bool met_non_ascii_name() const noexcept { return non_ascii_name_; }
    /// True when the failure stood inside the document type declaration.
    bool failed_in_doctype() const noexcept { return in_doctype_ && error_code_ != XML_ERROR_NONE; }

    ErrorLocation location() const override;
    TagPosition tag_position() const noexcept override;
    void stop(bool resumable) noexcept override;
    void mute() noexcept override { muted_ = true; }
    void report_nodes(bool on) noexcept override { report_nodes_ = on; }
    /// Every character is checked as it is read, references included.
    bool checks_utf8() const noexcept override { return true; }
    /// The document when it is held whole; fed input, which `feed` moves
    /// and drops, is none.
    std::string_view held_document() const noexcept override {
        if (fed_) return {};
        return {begin_, static_cast<std::size_t>(end_ - begin_)};
    }

private:
    enum class Phase : std::uint8_t { Start, Prolog, Content, Epilog, Done };
    enum class Halt : std::uint8_t { None, Suspend, Abort };

    /// An open element: its name as written, and how many namespace
    /// bindings its start tag made.
    struct Open {
        const char* name;
        std::size_t length;
        std::uint32_t bindings;
    };

    /// An attribute of the start tag being read: its name as written, and
    /// where its normalized value stands in `values_`.
    struct Attribute {
        std::string_view name;
        std::size_t value;
        std::size_t value_length;
    };

    /// Where the reading stands: the document, or an entity's replacement text.
    struct Input {
        const char* pos;
        const char* end;
    };

    /// An entity whose replacement text content is being read: where its
    /// reference stands, where reading resumes after it, and how many
    /// elements were open at it.
    struct EntityFrame {
        Entity* entity;
        const char* reference;
        const char* resume;
        const char* end;
        std::size_t depth;
    };

    template <Scan S>
    Stop run_with();
    template <Scan S>
    bool content();
    template <Scan S>
    bool start_tag();
    template <Scan S>
    bool attribute_value(char quote);
    bool end_tag();
    bool start();
    bool prolog_or_epilog();
    bool xml_declaration();
    bool comment();
    bool processing_instruction();
    /// Sends the comment or processing instruction whose text is `text` (and
    /// target `target`) to the sink, line ends normalized, while it asks for them.
    void report_node(std::string_view target, std::string_view text, bool instruction);
    bool cdata_section();
    /// Fails a section whose text from `run` on the input ends inside.
    bool unclosed_cdata(const char* run);

    // The document type declaration (doctype.cpp).
    bool doctype();
    bool markup_declaration();
    bool element_declaration(const char* start);
    bool content_model(const char* start);
    bool attlist_declaration(const char* start);
    bool entity_declaration(const char* start);
    bool notation_declaration(const char* start);
    bool entity_value(std::string& out);
    bool external_id(const char* start, bool public_alone);
    bool quoted_literal(const char* start, bool pubid);
    /// Fails at `at`, where the declaration's grammar stops: a syntax error,
    /// or an invalid token when no token starts there.
    bool syntax_fault(const char* at);
    /// Whether the name at `pos_`, ending at `name_end`, may be declared:
    /// read with namespaces, an entity or notation name holds no colon (a
    /// syntax error at the name).
    bool declared_name(const char* name_end);
    bool skip_space() noexcept;
    bool require_space(const char* start);
    bool keyword(std::string_view word) noexcept;

    // Entities and attribute declarations in use (entities.cpp).
    /// Reads on from `to`; the reading stood at the returned input.
    Input switch_input(Input to) noexcept;
    /// The document offset reported for `at`: in an entity's replacement
    /// text, that of the reference to the outermost entity (or, in an
    /// attribute value, of the start tag).
    std::uint64_t offset_of(const char* at) const noexcept {
        if (entities_.empty() && attribute_depth_ == 0) [[likely]] {
            return base_ + static_cast<std::uint64_t>(at - begin_);
        }
        return offset_in_entity();
    }
    /// offset_of for a place in replacement text.
    std::uint64_t offset_in_entity() const noexcept;
    /// Counts `bytes` of replacement text at `at`: false (failed) past the
    /// amplification bound.
    bool account(std::size_t bytes, const char* at);
    /// The reference `&name;` at `amp` (`after` just past it) to a declared
    /// entity, as in reference().
    bool named_reference(std::string_view name, const char* amp, const char* after,
                         std::string* out);
    /// Where a fault at `amp` in an attribute value is reported: there, or
    /// at the start tag when `amp` stands in replacement text.
    const char* attribute_reference(const char* amp) const noexcept;
    /// Back from an entity's replacement text at its end.
    bool leave_entity();
    /// Types and defaults the ATTLIST declarations give the start tag read.
    bool apply_declarations(std::string_view element);
    /// A reference at `pos_` ('&'): its replacement appended to `out`, or
    /// sent as text when `out` is null. A reference in an attribute value
    /// that cannot be replaced is recorded (see `defer`), not failed at once.
    bool reference(std::string* out);
    /// A name at `pos_`: its end, or null (with the failure recorded) when
    /// there is none. `qualified` applies the namespace rules to it.
    const char* name(bool qualified);
    /// Read with namespaces, the first colon in the name [`name`, `name_end`)
    /// where names other than those of elements and attributes hold none;
    /// null without namespaces or colon.
    const char* colon_in(const char* name, const char* name_end) const noexcept;
    bool check_char(const char*& p, const char* end);
    /// Sends the start tag read into `attributes_`: names as written, or
    /// (namespace mode) resolved, with its namespace declarations first.
    bool send_plain(std::string_view element, bool empty);
    bool resolve_and_send(std::string_view element, bool empty);
    /// Sets `name` to `qname` resolved in the scope; false on an unbound prefix.
    bool expand(std::string_view qname, bool element, const char* tag, ExpandedName& name);
    /// True when no two prefixed attributes in `views_` have one expanded name.
    bool unique_expanded_attributes();
    /// Undoes the last `bindings` namespace bindings, reporting their ends.
    void end_bindings(std::uint32_t bindings);
    /// Sends a piece of text as the event at `at` (in the document).
    void send_text(const char* text, std::size_t length, const char* at);
    /// True when the sink halted the reading (the run must return).
    bool halted() const noexcept { return halt_ != Halt::None; }

    bool fail(XML_Error code, const char* at) noexcept;
    /// Fed input not yet final, read in the document (not in replacement
    /// text, which is whole): the input may go on past `end_`.
    bool more_may_come() const noexcept {
        return !final_ && entities_.empty() && attribute_depth_ == 0;
    }
    /// Fed input: the token at `mark_` may go on in the next chunk, so the
    /// run returns for more input and reads it again.
    bool need_input() noexcept {
        short_ = true;
        return false;
    }
    /// Fed input: returns for more input, which the text run from `run`
    /// needs at `stop` to be read on.
    bool wait_in_text(const char* run, const char* stop);
    /// Fed input: the document type declaration at `start` failed where more
    /// input may read otherwise; it is read again, from scratch, with more.
    bool doctype_again(const char* start);
    /// Fed input: moves the names of the open elements out of the input,
    /// which `feed` moves.
    void keep_open_names();
    /// After a failure inside the markup starting at `token`: one for want
    /// of input (the input ended inside it) is located at the token's start.
    bool cut_short(const char* token) noexcept;
    /// Records a reference in an attribute value that cannot be replaced:
    /// the first one fails the start tag once it is read whole.
    void defer(XML_Error code, const char* at) noexcept;
    bool at_end(std::size_t ahead = 0) const noexcept {
        return static_cast<std::size_t>(end_ - pos_) <= ahead;
    }
    bool looking_at(std::string_view text) const noexcept {
        return static_cast<std::size_t>(end_ - pos_) >= text.size() &&
               std::string_view(pos_, text.size()) == text;
    }

    const char* begin_;
    const char* end_;
    const char* pos_;
    /// Fed input: where the token being read starts, and the phase there,
    /// to read it again when the chunk ends inside it; and how many bytes
    /// past `pos_` the next run waits for (twice those the token had), so
    /// that a long token is read again only a logarithmic number of times.
    const char* mark_;
    Phase mark_phase_ = Phase::Start;
    std::size_t need_ = 0;
    bool fed_ = false;
    bool final_ = true;
    bool short_ = false;
    std::uint64_t base_ = 0;  ///< offset in the document of `begin_`
    InputBuffer input_;
    std::string open_names_;         ///< fed input: the open elements' names
    bool resume_text_ = false;       ///< a text run waits for input: its scan goes on at
    std::uint64_t text_resume_ = 0;  ///< this offset
    const char* tag_ = nullptr;      ///< the start tag being read
    const bool namespaces_;
    const Scan scan_;
    ReaderEvents* sink_ = nullptr;
    bool namespace_events_ = false;
    bool muted_ = false;
    bool report_nodes_ = false;
    std::string node_target_;  ///< NUL-terminated copies for report_node
    std::string node_text_;
    bool non_ascii_name_ = false;
    bool declined_ = false;
    const Transcoder* source_ = nullptr;  ///< see read_transcoded
    bool encoding_named_ = false;         ///< the XML declaration names an encoding
    Phase phase_ = Phase::Start;
    Halt halt_ = Halt::None;
    XML_Error error_code_ = XML_ERROR_NONE;
    std::uint64_t event_ = 0;
    std::string undefined_entity_;
    XML_Error deferred_code_ = XML_ERROR_NONE;  ///< see `defer`
    const char* deferred_at_ = nullptr;
    std::size_t deferred_attribute_ = 0;  ///< the attribute whose value holds it

    std::vector<Open> open_;
    std::vector<Attribute> attributes_;
    std::string values_;                        ///< normalized attribute values of the current tag
    std::vector<AttributeView> views_;          ///< the attributes sent with a start event
    std::vector<std::string_view> names_seen_;  ///< for the duplicate check
    /// Namespace mode: the URI and local name of each prefixed attribute, for
    /// the duplicate check.
    std::vector<std::pair<std::string_view, std::string_view>> expanded_seen_;
    std::string text_;  ///< a CDATA section's text with its line ends normalized
    NamespaceScope scope_;

    std::unique_ptr<Dtd> dtd_;  ///< null without a document type declaration
    bool doctype_seen_ = false;
    bool in_doctype_ = false;            ///< reading the document type declaration
    std::vector<EntityFrame> entities_;  ///< entities read in content, outermost first
    std::size_t attribute_depth_ = 0;    ///< entities open in the attribute value being read
    std::uint64_t expanded_ = 0;         ///< bytes of replacement text read so far
};

}  // namespace kestrix::detail
