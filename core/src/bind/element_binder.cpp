// core/src/bind/element_binder.cpp: the event rules that bind elements, text and nil markers.
#include "element_binder.hpp"

#include <functional>
#include <utility>

#include "field_lookup.hpp"
#include "kestrix/namespaces.hpp"
#include "kestrix/scalar_parse.hpp"

namespace kestrix::detail {

namespace {

/// Emptied arenas a record stream keeps for later records: enough for a
/// consumer that holds a batch of records before giving them back.
constexpr std::size_t POOL_LIMIT = 16;

/// Element names kept from before the first record.
constexpr std::size_t NAMES_BEFORE_RECORD = 10;

}  // namespace

ElementBinder::ElementBinder(ReaderControl& reader, bool namespaces, const ClassSchema& schema,
                             std::uint64_t limit, std::optional<std::string_view> record_tag,
                             bool strict, std::span<const RecordKind> more)
    : reader_(reader),
      schema_(schema),
      limit_(limit),
      record_tag_(record_tag),
      namespaces_(namespaces),
      strict_(strict),
      record_schema_(&schema) {
    stack_.reserve(16);
    pool_.reserve(POOL_LIMIT);
    held_ = reader.held_document();
    checked_utf8_ = reader.checks_utf8();
    if (record_tag) {
        tag_ = split_tag(*record_tag);
        for (const RecordKind& kind : more) more_.emplace_back(kind.schema, split_tag(kind.tag));
    }
    // A tree with QName values or catch-all fields keeps the namespace
    // declarations in scope: the reader reports them when it processes
    // namespaces; otherwise they are read from each start tag's xmlns
    // attributes. So does a tree with substitutes, to resolve the prefix of
    // an xsi:type.
    const auto has_scope = [](const ClassSchema& s) {
        return s.namespaces != nullptr &&
               (s.namespaces->qnames || s.namespaces->substitutions || s.namespaces->catch_all);
    };
    track_scope_ = has_scope(schema);
    for (const auto& kind : more_) track_scope_ = track_scope_ || has_scope(*kind.first);
    scope_from_attributes_ = track_scope_ && !namespaces_;
}

Result<ValueTree> ElementBinder::take_outcome() {
    has_outcome_ = false;
    if (error_) {
        BindError error = std::move(*error_);
        error_.reset();
        return error;
    }
    return std::exchange(record_, ValueTree());
}

void ElementBinder::recycle(Arena&& arena) noexcept {
    if (pool_.size() >= POOL_LIMIT) return;  // released with the caller's tree
    Arena kept = std::move(arena);
    kept.reset();
    pool_.push_back(std::move(kept));
}

void ElementBinder::on_start(const ExpandedName& name, std::span<const AttributeView> attributes,
                             bool empty) noexcept {
    if (scope_from_attributes_) [[unlikely]]
        declare_from_attributes(attributes);
    start(name, attributes, empty);
}

void ElementBinder::on_end() noexcept {
    end();
    if (scope_from_attributes_) [[unlikely]]
        leave_attribute_scope();
}

void ElementBinder::declare_from_attributes(std::span<const AttributeView> attributes) {
    const std::uint64_t depth = ++element_depth_;
    for (const AttributeView& a : attributes) {
        const std::string_view name = a.name.local;  // as written
        if (name == "xmlns") {
            scope_.declare({}, a.value, depth);
        } else if (name.starts_with("xmlns:")) {
            scope_.declare(name.substr(6), a.value, depth);
        }
    }
}

void ElementBinder::leave_attribute_scope() noexcept {
    scope_.end_element(element_depth_);
    if (element_depth_ > 0) --element_depth_;
}

void ElementBinder::on_namespace_start(const char* prefix, const char* uri) {
    scope_.declare(prefix, uri, 0);
    if (mode_ == Mode::Caught) [[unlikely]]
        caught_declarations_.emplace_back(prefix, uri);
}

void ElementBinder::on_namespace_end(const char* prefix) { scope_.end_prefix(prefix); }

void ElementBinder::start(const ExpandedName& name, std::span<const AttributeView> attributes,
                          bool empty) noexcept {
    // A self-closing tag is handled here as a whole; its end event only needs
    // swallowing, and the reader delivers it even when this event stops it.
    swallow_end_ = empty;
    saw_element_ = true;
    if (has_outcome_) return;

    if (stack_.empty()) {  // looking for a record
        if (record_tag_ ? !is_record(name) : !check_document_element(name)) {
            if (record_tag_ && !record_found_ && names_seen_.size() < NAMES_BEFORE_RECORD) {
                note_name(name);
            }
            return;
        }
        open_record(name, attributes, empty);
        return;
    }

    // The nesting limit counts open frames and applies to every start tag that
    // can open one, whatever the mode; a self-closing tag never stays open.
    if (!empty && stack_.size() >= limit_) {
        fail(BindError::depth_exceeded(limit_, stack_.size() + 1));
        return;
    }
    // Inside an element being consumed whole, and inside a scalar element (whose
    // content is text), markup binds nothing: the element is consumed whole and
    // its text joins the current destination.
    if (skip_depth_ > 0 || mode_ != Mode::InClass) {
        if (mode_ == Mode::Caught) {
            caught_start(name, attributes);
            return;
        }
        if (strict_ && skip_depth_ == 0) {
            unexpected_element(name);
            return;
        }
        if (!empty) ++skip_depth_;
        return;
    }

    OpenFrame& parent = stack_.back();
    const ClassSchema& schema = parent.frame.schema();
    const std::optional<std::size_t> field =
        namespaces_ ? find_expanded_field(schema, FieldRole::Element, parent.ns, name)
                    : find_written_field_near(schema, FieldRole::Element, name.local, parent.hint);
    if (!field) {
        if (schema.has_choices && bind_choice(name, attributes, empty)) return;
        if (schema.any_elements) [[unlikely]] {
            open_caught(name, attributes);
            return;
        }
        if (strict_) {
            unexpected_element(name);
            return;
        }
        if (!empty) ++skip_depth_;
        return;
    }
    // Text before a child element of mixed content is one run, ahead of it.
    parent.frame.end_text_run();
    const FieldSchema& found = schema.fields[*field];
    // The namespace a child frame is in: what the field matched.
    std::string_view child_ns;
    if (namespaces_) {
        switch (found.ns_rule) {
            case NsRule::Fixed:
                child_ns = found.ns;
                break;
            case NsRule::Inherit:
                child_ns = parent.ns;
                break;
            case NsRule::AnyPrefix:
                child_ns = intern(name.uri);
                break;
        }
    }
    const TypeDesc& type = found.type;
    switch (type.kind()) {
        case TypeDesc::Kind::Scalar:
            bind_scalar_start(*field, type.scalar_kind(), attributes, empty);
            return;
        case TypeDesc::Kind::Nested:
            open_child(type.schema(), *field, child_ns, attributes, empty);
            return;
        case TypeDesc::Kind::List: {
            const TypeDesc& item = type.item();
            if (item.is_scalar()) {
                bind_scalar_start(*field, item.scalar_kind(), attributes, empty);
            } else if (item.is_nested()) {
                open_child(item.schema(), *field, child_ns, attributes, empty);
            } else if (!empty) {
                ++skip_depth_;  // an item of a list of lists has no place to go
            }
            return;
        }
        case TypeDesc::Kind::Choice:
            break;  // a choice field answers to its members' names only
    }
    if (!empty) ++skip_depth_;
}

bool ElementBinder::bind_choice(const ExpandedName& name, std::span<const AttributeView> attributes,
                                bool empty) {
    OpenFrame& parent = stack_.back();
    const ClassSchema& schema = parent.frame.schema();
    const std::string_view local = namespaces_ ? name.local : local_name(name.local);
    for (std::size_t i = 0; i < schema.fields.size(); ++i) {
        const FieldSchema& field = schema.fields[i];
        if (field.role != FieldRole::Choice) continue;
        for (std::size_t m = 0; m < field.choices.size(); ++m) {
            const FieldSchema& member = field.choices[m];
            if (member.role != FieldRole::Element) continue;
            std::string_view child_ns;
            if (!namespaces_) {
                if (!field_answers_to(member, local)) continue;
            } else {
                if (member.local() != local) continue;
                switch (member.ns_rule) {
                    case NsRule::Fixed:
                        if (member.ns != name.uri) continue;
                        child_ns = member.ns;
                        break;
                    case NsRule::Inherit:
                        if (parent.ns != name.uri) continue;
                        child_ns = parent.ns;
                        break;
                    case NsRule::AnyPrefix:
                        child_ns = intern(name.uri);
                        break;
                }
            }
            parent.frame.end_text_run();
            const auto position = static_cast<std::uint32_t>(m);
            if (member.type.is_nested()) {
                open_child(member.type.schema(), i, child_ns, attributes, empty, position);
            } else if (member.type.is_scalar()) {
                bind_scalar_start(i, member.type.scalar_kind(), attributes, empty, position);
            } else if (!empty) {
                ++skip_depth_;
            }
            return true;
        }
    }
    return false;
}

void ElementBinder::end() noexcept {
    if (swallow_end_) {
        swallow_end_ = false;
        return;
    }
    if (has_outcome_ || stack_.empty()) return;
    if (skip_depth_ > 0) {
        --skip_depth_;
        return;
    }
    if (mode_ != Mode::InClass) {
        if (mode_ == Mode::Caught) {
            caught_end();
        } else {
            close_scalar();
        }
    } else {
        close_frame();
    }
}

void ElementBinder::on_text(const char* text, std::size_t length) noexcept {
    if (has_outcome_ || stack_.empty()) return;
    if (mode_ != Mode::InClass) {
        if (mode_ == Mode::Caught) {
            caught_.text(text, length);
        } else {
            const std::less<const char*> before;
            if (held_text_.empty() && scalar_text_.empty() && !before(text, held_.data()) &&
                before(text, held_.data() + held_.size())) {
                held_text_ = std::string_view(text, length);
                return;
            }
            if (!held_text_.empty()) {
                scalar_text_.assign(held_text_);
                held_text_ = {};
            }
            scalar_text_.append(text, length);
        }
    } else if (std::string* destination = stack_.back().frame.text()) {
        destination->append(text, length);
    } else if (strict_ && skip_depth_ == 0) {
        unexpected_text(std::string_view(text, length));
    }
}

void ElementBinder::unexpected_text(std::string_view piece) {
    const std::size_t lead = piece.find_first_not_of(" \t\r\n");
    if (lead == std::string_view::npos) return;  // white space between elements
    const std::string_view shown = trim_xml_space(piece).substr(0, 40);
    fail(BindError::schema("unexpected text '" + std::string(shown) + "' in " +
                           stack_.back().frame.schema().name + ", which has no text field"));
    // The position of the text's first character, past the white space the
    // piece starts with.
    ErrorLocation at = reader_.location();
    const std::size_t newline = piece.substr(0, lead).rfind('\n');
    if (newline == std::string_view::npos) {
        at.column += lead;
    } else {
        for (const char c : piece.substr(0, lead)) at.line += c == '\n' ? 1 : 0;
        at.column = lead - newline;
    }
    error_->set_location(at);
}

ElementBinder::RecordTag ElementBinder::split_tag(std::string_view tag) noexcept {
    RecordTag split;
    split.whole = tag;
    split.local = tag;
    const std::size_t close = tag.rfind('}');
    if (tag.size() > 1 && tag.front() == '{' && close != std::string_view::npos) {
        split.clark = true;
        split.uri = tag.substr(1, close - 1);
        split.local = tag.substr(close + 1);
    } else if (const std::size_t colon = tag.find(':'); colon != std::string_view::npos) {
        split.prefix = tag.substr(0, colon);
        split.local = tag.substr(colon + 1);
    }
    return split;
}

bool ElementBinder::tag_selects(const RecordTag& tag, const ExpandedName& name) const noexcept {
    if (!namespaces_) return local_name(name.local) == tag.whole;
    if (name.local != tag.local) return false;
    if (tag.clark) return name.uri == tag.uri;
    return tag.prefix.empty() || name.prefix == tag.prefix;
}

bool ElementBinder::is_record(const ExpandedName& name) noexcept {
    if (tag_selects(tag_, name)) {
        record_schema_ = &schema_;
        return true;
    }
    for (const auto& [schema, tag] : more_) {
        if (tag_selects(tag, name)) {
            record_schema_ = schema;
            return true;
        }
    }
    return false;
}

std::string ElementBinder::described(const ExpandedName& name, bool element) const {
    std::string text = (element ? "<" : "'") + name.written() + (element ? ">" : "'");
    if (!name.uri.empty()) text += " (namespace " + std::string(name.uri) + ")";
    return text;
}

void ElementBinder::unexpected_element(const ExpandedName& name) {
    if (mode_ != Mode::InClass) {
        fail(BindError::schema("unexpected element " + described(name, true) + " inside field '" +
                               stack_.back().frame.schema().fields[scalar_field_].name +
                               "', which holds text"));
        return;
    }
    const ClassSchema& schema = stack_.back().frame.schema();
    std::string message = "unexpected element " + described(name, true) + " in " + schema.name;
    if (namespaces_) {
        // A field of that local name in another namespace: say which one.
        for (const FieldSchema& field : schema.fields) {
            if (field.role != FieldRole::Element || field.local() != name.local) continue;
            std::string_view expected = stack_.back().ns;
            if (field.ns_rule == NsRule::Fixed) expected = field.ns;
            message += " (field '" + field.name + "' takes <" + std::string(field.local()) + "> " +
                       (expected.empty() ? std::string("in no namespace")
                                         : "in namespace " + std::string(expected)) +
                       ")";
            break;
        }
    }
    fail(BindError::schema(std::move(message)));
}

bool ElementBinder::check_attributes(std::span<const AttributeView> attributes,
                                     const ClassSchema* schema, std::size_t field) {
    // A catch-all attribute field takes every attribute.
    if (schema != nullptr && schema->any_attributes) return true;
    for (const AttributeView& a : attributes) {
        bool known = false;
        if (namespaces_) {
            // Namespace declarations are no attributes with namespace processing.
            known = a.name.local == "nil" ||
                    (a.name.local == "type" && a.name.uri == XSI_NAMESPACE) ||
                    (schema != nullptr &&
                     find_expanded_field(*schema, FieldRole::Attribute, {}, a.name));
        } else {
            const std::string_view name = a.name.local;  // as written
            const std::string_view local = local_name(name);
            known = name == "xmlns" || name.starts_with("xmlns:") || local == "nil" ||
                    local == "xsi:nil" || (local == "type" && names_xsi(name)) ||
                    (schema != nullptr && find_field(*schema, FieldRole::Attribute, local));
        }
        if (known) continue;
        const std::string where =
            schema != nullptr ? schema->name
                              : "field '" + stack_.back().frame.schema().fields[field].name + "'";
        fail(
            BindError::schema("unexpected attribute " + described(a.name, false) + " in " + where));
        return false;
    }
    return true;
}

void ElementBinder::note_name(const ExpandedName& name) {
    std::string written = name.written();
    for (const std::string& seen : names_seen_) {
        if (seen == written) return;
    }
    names_seen_.push_back(std::move(written));
}

bool ElementBinder::check_document_element(const ExpandedName& name) {
    document_element_ = name.written();
    const std::string_view local = namespaces_ ? name.local : local_name(name.local);
    const bool name_ok = schema_.element_name.empty() || local == schema_.element_name;
    const bool ns_ok = !namespaces_ || !schema_.ns || name.uri == *schema_.ns;
    if (name_ok && ns_ok) return true;
    const auto in_namespace = [this](std::string_view uri) {
        if (!namespaces_) return std::string();
        return uri.empty() ? std::string(" in no namespace") : " in namespace " + std::string(uri);
    };
    std::string expected =
        schema_.element_name.empty() ? std::string("an element") : "<" + schema_.element_name + ">";
    if (schema_.ns) expected += in_namespace(*schema_.ns);
    fail(BindError::schema("the document element is <" + document_element_ + ">" +
                           in_namespace(name.uri) + ", expected " + expected));
    return false;
}

std::string_view ElementBinder::intern(std::string_view uri) {
    if (!stack_.empty() && stack_.back().ns == uri) return stack_.back().ns;
    auto it = uris_.find(uri);
    if (it == uris_.end()) it = uris_.emplace(uri).first;
    return *it;
}

Status ElementBinder::bind_attributes(std::span<const AttributeView> attributes,
                                      Frame& frame) const {
    return namespaces_ ? apply_expanded_attributes(attributes, frame)
                       : apply_attributes(attributes, frame);
}

void ElementBinder::open_record(const ExpandedName& name, std::span<const AttributeView> attributes,
                                bool empty) {
    record_found_ = true;
    if (arena_.empty() && !pool_.empty()) {  // the last record took the arena along
        arena_ = std::move(pool_.back());
        pool_.pop_back();
    }
    const std::string_view ns = namespaces_ ? intern(name.uri) : std::string_view();
    open_child(*record_schema_, 0, ns, attributes, empty);
}

void ElementBinder::open_child(const ClassSchema& declared, std::size_t field, std::string_view ns,
                               std::span<const AttributeView> attributes, bool empty,
                               std::uint32_t member) {
    const ClassSchema* chosen = &declared;
    if (!declared.substitutes.empty()) [[unlikely]] {
        chosen = substituted(declared, attributes);
        if (chosen == nullptr) return;
    }
    const ClassSchema& schema = *chosen;
    if (strict_ && !check_attributes(attributes, &schema, 0)) return;
    Frame& frame =
        stack_.emplace_back(schema, arena_, scope(), checked_utf8_, field, ns, member).frame;
    place(frame);
    if (Status status = bind_attributes(attributes, frame); !status) {
        fail(std::move(status).error());
        return;
    }
    if (schema.any_attributes) [[unlikely]]
        catch_attributes(attributes, frame, !declared.substitutes.empty());
    // A self-closing element is complete at once: it goes to its parent, or
    // is the record.
    if (empty) close_frame();
}

bool ElementBinder::names_xsi(std::string_view name) const noexcept {
    // Without namespace processing: a prefix bound to the XML Schema instance
    // namespace where the attribute stands, or xsi itself.
    const std::size_t colon = name.find(':');
    if (colon == std::string_view::npos) return false;
    const std::string_view prefix = name.substr(0, colon);
    const std::optional<std::string_view> uri =
        track_scope_ ? scope_.resolve(prefix) : std::nullopt;
    return uri ? *uri == XSI_NAMESPACE : prefix == "xsi";
}

const ClassSchema* ElementBinder::substituted(const ClassSchema& schema,
                                              std::span<const AttributeView> attributes) {
    const AttributeView* given = nullptr;
    for (const AttributeView& a : attributes) {
        if (namespaces_) {
            if (a.name.local == "type" && a.name.uri == XSI_NAMESPACE) given = &a;
            continue;
        }
        if (local_name(a.name.local) == "type" && names_xsi(a.name.local)) given = &a;
    }
    if (given == nullptr) return &schema;
    Result<Value> type = parse_qname(given->value, &scope_, "xsi:type", arena_);
    if (!type) {
        fail(std::move(type).error());
        return nullptr;
    }
    const std::optional<ClarkName> name = split_clark(type.value().as_str());
    if (name) {
        if (const ClassSchema* found = find_type(schema, name->uri, name->local)) return found;
    }
    fail(BindError::schema("unknown xsi:type '" + std::string(trim_xml_space(given->value)) +
                           "' (" + std::string(type.value().as_str()) + "): no subclass of " +
                           schema.name + " declares that type name"));
    return nullptr;
}

void ElementBinder::place(Frame& frame) const noexcept {
    const TagPosition at = reader_.tag_position();
    frame.place(at.offset, at.line, at.column);
}

void ElementBinder::bind_scalar_start(std::size_t field, ScalarKind kind,
                                      std::span<const AttributeView> attributes, bool empty,
                                      std::uint32_t member) {
    if (strict_ && !check_attributes(attributes, nullptr, field)) return;
    Frame& top = stack_.back().frame;
    const bool nil =
        !attributes.empty() && (namespaces_ ? is_nil_expanded(attributes) : is_nil(attributes));
    if (nil || empty) {
        // Complete at its start tag: a nil marker, or a self-closing element,
        // which reads as the empty element it stands for (an error for numbers
        // and booleans, an empty text for the other kinds).
        Value value = Value::null();
        if (!nil) {
            Result<Value> parsed = top.scalar(kind, {}, top.schema().fields[field]);
            if (!parsed) {
                fail(std::move(parsed).error());
                return;
            }
            value = std::move(parsed).value();
        }
        deliver(field, value, member);
        // A nil element written with an end tag is consumed through that tag.
        if (!empty) ++skip_depth_;
        return;
    }
    mode_ = Mode::InScalar;
    scalar_field_ = field;
    scalar_kind_ = kind;
    scalar_member_ = member;
    scalar_text_.clear();
    held_text_ = {};
}

void ElementBinder::close_scalar() {
    Frame& top = stack_.back().frame;
    const std::string_view text = held_text_.empty() ? std::string_view(scalar_text_) : held_text_;
    held_text_ = {};
    Result<Value> value = top.scalar(scalar_kind_, text, top.schema().fields[scalar_field_]);
    if (!value) {
        fail(std::move(value).error());
        return;
    }
    deliver(scalar_field_, value.value(), scalar_member_);
    mode_ = Mode::InClass;
}

void ElementBinder::close_frame() {
    OpenFrame& closed = stack_.back();
    Result<Value> value = finish_frame(std::move(closed.frame));
    const std::size_t field = closed.parent_field;
    const std::uint32_t member = closed.member;
    stack_.pop_back();
    if (!value) {
        fail(std::move(value).error());
        return;
    }
    if (stack_.empty()) {
        complete(std::move(value).value());
        return;
    }
    deliver(field, std::move(value).value(), member);
}

void ElementBinder::deliver(std::size_t field, Value child, std::uint32_t member) {
    Frame& top = stack_.back().frame;
    if (member != NO_MEMBER) child = choice_item(member, child, arena_);
    if (top.schema().fields[field].type.is_list()) {
        top.append(field, std::move(child));
    } else {
        top.set(field, std::move(child));
    }
}

void ElementBinder::complete(Value record) {
    if (mode_ == Mode::Caught) leave_caught();
    has_outcome_ = true;
    stack_.clear();
    record_.root = record;
    record_.arena = std::move(arena_);
    mode_ = Mode::InClass;
    skip_depth_ = 0;
    if (record_tag_) {
        reader_.stop(true);
        return;
    }
    // The document element is bound; the reader still reads the rest of the
    // input, so that anything but comments, processing instructions and white
    // space after it is refused. Nothing there binds.
    reader_.mute();
}

void ElementBinder::fail(BindError error) {
    if (mode_ == Mode::Caught) leave_caught();
    error.set_location(reader_.location());
    has_outcome_ = true;
    error_.emplace(std::move(error));
    stack_.clear();
    arena_.reset();  // nothing refers to the failed record's values any more
    mode_ = Mode::InClass;
    skip_depth_ = 0;
    reader_.stop(record_tag_.has_value());
}

}  // namespace kestrix::detail
