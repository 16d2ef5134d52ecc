// core/src/bind/element_binder.hpp: binds a reader's element events to frames of a schema.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "catch_all_builder.hpp"
#include "kestrix/error.hpp"
#include "kestrix/frame.hpp"
#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"
#include "reader_control.hpp"
#include "reader_events.hpp"

namespace kestrix::detail {

/// The one event handler behind both the whole-document parser and the record
/// stream. It waits for a record element (the first element of the document, or
/// any element a tag selects), binds it and everything inside it to `schema`
/// with an explicit stack of frames, and then stops the reader with the
/// record's value or its first error as the outcome.
///
/// Without namespace processing a tag is compared with each element's local
/// name (the part after its first colon). With it, a tag is a local name
/// ("para": that local name in any namespace), a prefixed name ("doc:para":
/// written with that prefix), or `{uri}local` (that namespace URI and local
/// name; a reader for such a tag always processes namespaces). When the reader processes
/// namespaces, fields match by namespace and local name (find_expanded_field), every open frame
/// knowing the namespace of its element.
///
/// In document mode a failure stops the reader for good; a bound document
/// element lets it read on to the end of the input with no handler left, so
/// that the reader's own checks of what follows the element still run. In
/// record mode the reader is suspended: after the outcome is taken it resumes
/// and the binder scans on for the next record.
class ElementBinder final : public ReaderEvents {
public:
    /// A further kind of record: the elements `tag` selects, bound to `schema`.
    struct RecordKind {
        const ClassSchema* schema;
        std::string_view tag;
    };

    /// A binder of the events of `reader`, which must outlive it and which
    /// gives names split into URI, local part and prefix when `namespaces`
    /// (see ExpandedName). The reader is then told to send its events here.
    /// With no `record_tag` the document element is the one record. `more`
    /// (record mode only) adds kinds of records, tried after `record_tag` in
    /// their order: each record is bound to the schema of the first kind
    /// whose tag selects it. Their tags and schemas must outlive the binder.
    ElementBinder(ReaderControl& reader, bool namespaces, const ClassSchema& schema,
                  std::uint64_t limit, std::optional<std::string_view> record_tag,
                  bool strict = false, std::span<const RecordKind> more = {});

    ElementBinder(const ElementBinder&) = delete;
    ElementBinder& operator=(const ElementBinder&) = delete;

    /// True once a record has been bound or has failed and its outcome waits.
    bool has_outcome() const noexcept { return has_outcome_; }
    /// Hands over the waiting outcome (call only when `has_outcome`): the
    /// record's tree with the arena that holds it, or its error.
    Result<ValueTree> take_outcome();
    /// Takes back the arena of a record's tree that is no longer needed, to
    /// hold a later record.
    void recycle(Arena&& arena) noexcept;
    /// True while a record element is open.
    bool in_record() const noexcept { return !stack_.empty(); }
    /// True once the reader has reported any element's start tag.
    bool saw_element() const noexcept { return saw_element_; }
    /// The document element's name as written (document mode; empty before it).
    const std::string& document_element() const noexcept { return document_element_; }
    /// Record mode: the first distinct element names (as written) met before
    /// the first record, which say what a document that holds no record holds.
    const std::vector<std::string>& names_before_record() const noexcept { return names_seen_; }

    // The reader's events (see ReaderEvents). Handlers run inside the reader
    // (expat's C frames among them), so nothing may propagate out of them; the
    // only exception possible is exhausted memory, which ends the process.
    void on_start(const ExpandedName& name, std::span<const AttributeView> attributes,
                  bool empty) noexcept override;
    void on_end() noexcept override;
    void on_text(const char* text, std::size_t length) noexcept override;
    /// True for a tree with QName values read in namespace mode, which keeps
    /// the namespace declarations in scope from these events.
    bool wants_namespace_events() const noexcept override { return track_scope_ && namespaces_; }
    void on_namespace_start(const char* prefix, const char* uri) override;
    void on_namespace_end(const char* prefix) override;
    /// Comments and processing instructions, which the reader reports only
    /// while a caught element is open (see ReaderControl::report_nodes).
    void on_comment(const char* text) noexcept override;
    void on_instruction(const char* target, const char* text) noexcept override;

private:
    /// What character data is gathered for between the children of a frame.
    /// Caught: inside an element a catch-all field receives, whose content
    /// goes to `caught_` whole.
    enum class Mode : std::uint8_t { InClass, InScalar, Caught };

    struct OpenFrame {
        /// A frame opened in place on the stack (a Frame holds a string, so
        /// moving one in and out would cost on every class element).
        OpenFrame(const ClassSchema& schema, Arena& arena, const InScopeNamespaces* scope,
                  bool checked_utf8, std::size_t parent_field, std::string_view ns,
                  std::uint32_t member)
            : frame(schema, arena, scope, checked_utf8),
              parent_field(parent_field),
              ns(ns),
              hint(schema.first_element),
              member(member) {}

        Frame frame;
        std::size_t parent_field;  ///< field of the enclosing frame that receives it
        /// Namespace of the element (namespace-aware reading only); points into
        /// the schema or `uris_`, which outlive the frame.
        std::string_view ns;
        /// Where the lookup of the next child element's field starts.
        std::size_t hint;
        /// The member of the enclosing choice field this element is, if any.
        std::uint32_t member;
    };

    /// The member of a plain (not choice) field.
    static constexpr std::uint32_t NO_MEMBER = UINT32_MAX;

    /// The record tag split into its parts.
    struct RecordTag {
        std::string_view whole;
        std::string_view uri;  ///< `{uri}local` form only
        std::string_view local;
        std::string_view prefix;  ///< `prefix:local` form only
        bool clark = false;
    };

    /// The scope new frames resolve QName values through; null when the tree
    /// has none.
    const InScopeNamespaces* scope() const noexcept { return track_scope_ ? &scope_ : nullptr; }

    /// The scope upkeep of `on_start`/`on_end` when declarations come as
    /// xmlns attributes: kept out of line, off the path of other trees.
    [[gnu::noinline]] void declare_from_attributes(std::span<const AttributeView> attributes);
    [[gnu::noinline]] void leave_attribute_scope() noexcept;
    /// Strict reading: fails on a piece of text other than white space in a
    /// class element with no text field.
    [[gnu::noinline, gnu::cold]] void unexpected_text(std::string_view piece);
    /// The element events proper, after the scope upkeep of `on_start`/`on_end`.
    void start(const ExpandedName& name, std::span<const AttributeView> attributes,
               bool empty) noexcept;
    void end() noexcept;

    /// Opens the caught element `name` for the catch-all field of the top
    /// frame, with the namespace declarations in scope.
    void open_caught(const ExpandedName& name, std::span<const AttributeView> attributes);
    /// A start tag and an end tag inside a caught element.
    void caught_start(const ExpandedName& name, std::span<const AttributeView> attributes);
    void caught_end();
    /// Adds one element of a caught subtree and its attributes.
    void caught_element(const ExpandedName& name, std::span<const AttributeView> attributes);
    /// Ends a caught subtree (closed, failed or abandoned).
    void leave_caught() noexcept;
    /// Puts the attributes of a class element that no attribute field takes
    /// into the frame's catch-all attribute field; `substituted` (the element
    /// may name a subclass) leaves out its xsi:type, which chose the frame's
    /// class and which writing gives again when it is not the declared one.
    void catch_attributes(std::span<const AttributeView> attributes, Frame& frame,
                          bool substituted);
    /// The name of an element or attribute as a catch-all field holds it:
    /// `{uri}local`, or the name as written when it is in no namespace or its
    /// prefix is bound to nothing. False for a namespace declaration, which
    /// is no attribute.
    bool caught_name(const ExpandedName& name, bool element, std::string& out) const;
    static RecordTag split_tag(std::string_view tag) noexcept;
    bool tag_selects(const RecordTag& tag, const ExpandedName& name) const noexcept;
    /// True when a record tag selects `name`; `record_schema_` is then the
    /// schema of its kind.
    bool is_record(const ExpandedName& name) noexcept;
    /// Strict reading: fails, naming it, on the first attribute of a start
    /// tag that no attribute field of `schema` (null: a scalar element)
    /// takes; namespace declarations and nil markers pass. `field` is the
    /// top frame's field a scalar element is for. False on failure.
    bool check_attributes(std::span<const AttributeView> attributes, const ClassSchema* schema,
                          std::size_t field);
    /// Strict reading: fails on the element `name` that no field of the top
    /// frame takes, or that stands inside a scalar element.
    void unexpected_element(const ExpandedName& name);
    /// The name of an element (`<p:name>`) or attribute (`'p:name'`) as the
    /// document wrote it, with its namespace when the reader processes
    /// namespaces.
    std::string described(const ExpandedName& name, bool element) const;
    /// Adds `name` to `names_seen_` unless it is there.
    void note_name(const ExpandedName& name);
    /// False, with the failure recorded, when the document element is not the
    /// one the root class declares.
    bool check_document_element(const ExpandedName& name);
    std::string_view intern(std::string_view uri);
    Status bind_attributes(std::span<const AttributeView> attributes, Frame& frame) const;

    /// Records in `frame` where its element's start tag (the current event) stands.
    void place(Frame& frame) const noexcept;
    void open_record(const ExpandedName& name, std::span<const AttributeView> attributes,
                     bool empty);
    /// True when the prefix of the attribute name `name` (read without
    /// namespace processing) stands for the XML Schema instance namespace.
    bool names_xsi(std::string_view name) const noexcept;
    /// The schema an element of class `schema` binds to: the class its
    /// xsi:type names (`schema` or a substitute), `schema` when it has none.
    /// Null, with the failure recorded, for a type name no class declares.
    const ClassSchema* substituted(const ClassSchema& schema,
                                   std::span<const AttributeView> attributes);
    void open_child(const ClassSchema& schema, std::size_t field, std::string_view ns,
                    std::span<const AttributeView> attributes, bool empty,
                    std::uint32_t member = NO_MEMBER);
    void bind_scalar_start(std::size_t field, ScalarKind kind,
                           std::span<const AttributeView> attributes, bool empty,
                           std::uint32_t member = NO_MEMBER);
    /// Binds a child element of the top frame that no plain field takes to the
    /// choice member its name selects; false when none does.
    bool bind_choice(const ExpandedName& name, std::span<const AttributeView> attributes,
                     bool empty);
    void close_scalar();
    void close_frame();
    /// Puts a finished value (a child object or a scalar) into `field` of the
    /// top frame: appended when the field is a list, stored otherwise; as a
    /// choice item when it is a member of a choice field.
    void deliver(std::size_t field, Value child, std::uint32_t member = NO_MEMBER);

    void complete(Value record);
    void fail(BindError error);

    ReaderControl& reader_;
    const ClassSchema& schema_;
    std::uint64_t limit_;
    std::optional<std::string_view> record_tag_;
    RecordTag tag_;
    bool namespaces_;
    bool strict_;
    /// The kinds of records after the first, with their split tags.
    std::vector<std::pair<const ClassSchema*, RecordTag>> more_;
    /// The schema the record being opened is bound to.
    const ClassSchema* record_schema_;
    std::string document_element_;
    std::vector<std::string> names_seen_;
    bool record_found_ = false;
    /// Namespace URIs of open frames that no schema string holds.
    std::unordered_set<std::string, NameHash, std::equal_to<>> uris_;

    /// The namespace declarations in scope, kept only for a tree with QName
    /// values (`track_scope_`); `element_depth_` counts open elements when
    /// they come from xmlns attributes.
    bool track_scope_ = false;
    /// True when that upkeep reads xmlns attributes (no namespace processing).
    bool scope_from_attributes_ = false;
    InScopeNamespaces scope_;
    std::uint64_t element_depth_ = 0;

    std::vector<OpenFrame> stack_;
    Mode mode_ = Mode::InClass;
    std::size_t scalar_field_ = 0;
    ScalarKind scalar_kind_ = ScalarKind::Str;
    std::uint32_t scalar_member_ = NO_MEMBER;
    std::string scalar_text_;
    /// The scalar element's text while it is one piece of the held document
    /// (`held_`): kept where it stands, copied only when another piece joins it.
    std::string_view held_text_;
    std::string_view held_;
    /// The reader checks that its texts are UTF-8: they are not checked again.
    bool checked_utf8_ = false;
    /// The subtree a catch-all field is receiving (empty: none).
    CatchAllBuilder caught_;
    std::string caught_name_;
    /// Namespace declarations the reader reported for the next start tag
    /// inside a caught element (prefix, URI).
    std::vector<std::pair<std::string, std::string>> caught_declarations_;
    /// Open elements being consumed whole: nothing inside them binds.
    std::uint64_t skip_depth_ = 0;
    /// The end event the reader sends right after a self-closing tag's start event,
    /// which has already been handled as one empty-element event.
    bool swallow_end_ = false;
    bool saw_element_ = false;
    /// The finished record or its error, waiting to be taken.
    bool has_outcome_ = false;
    ValueTree record_;
    std::optional<BindError> error_;
    /// The memory of the record being bound; handed over with its tree.
    Arena arena_;
    /// Arenas given back by `recycle`, emptied, for the next records.
    std::vector<Arena> pool_;
};

}  // namespace kestrix::detail
