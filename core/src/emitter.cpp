// core/src/emitter.cpp: the XML text of a Value::Object tree, escaped and
// optionally indented, written into one growing buffer.
#include "kestrix/emitter.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "kestrix/namespaces.hpp"
#include "kestrix/scalar_format.hpp"

namespace kestrix {

namespace {

// What the escaping pass does with each byte: bit 0 replaces it by a reference
// in text, bit 1 in attribute values; bit 2 marks a control character that
// XML 1.0 cannot carry at all; bit 3 a lead byte that may begin U+FFFE or
// U+FFFF. Tab and line feed are kept in text but referenced in attributes,
// where a reader would otherwise normalize them to spaces.
constexpr std::uint8_t kInText = 1;
constexpr std::uint8_t kInAttribute = 2;
constexpr std::uint8_t kForbidden = 4;
constexpr std::uint8_t kNonCharacterLead = 8;
constexpr std::uint8_t kTextMask = kInText | kForbidden | kNonCharacterLead;
constexpr std::uint8_t kAttributeMask = kInAttribute | kForbidden | kNonCharacterLead;

constexpr std::array<std::uint8_t, 256> make_escape_table() {
    std::array<std::uint8_t, 256> t{};
    for (unsigned c = 0; c < 0x20; ++c) t[c] = kForbidden;
    for (unsigned char c : {'&', '<', '>', '"', '\'', '\r'}) t[c] = kInText | kInAttribute;
    t['\t'] = kInAttribute;
    t['\n'] = kInAttribute;
    t[0xEF] = kNonCharacterLead;  // U+FFFE and U+FFFF are EF BF BE and EF BF BF
    return t;
}
constexpr std::array<std::uint8_t, 256> kEscape = make_escape_table();

std::string_view reference_for(unsigned char c) {
    switch (c) {
        case '&':
            return "&amp;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '"':
            return "&quot;";
        case '\'':
            return "&apos;";
        case '\r':
            return "&#13;";
        case '\t':
            return "&#9;";
        default:
            return "&#10;";
    }
}

/// The error for a character XML 1.0 cannot carry, found in `field` of `owner`.
[[gnu::noinline, gnu::cold]] BindError unwritable(char32_t c, const FieldSchema& field,
                                                  const ClassSchema& owner) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
    return BindError::serialization("character " + std::string(code) + " in field '" + field.name +
                                    "' of " + owner.name + " cannot be written in XML 1.0");
}

/// The entry of field `index` in `obj`, or null when there is none. The
/// object is laid out by the schema it is written with (TreeWriter::element
/// checks it), so slot `index` holds field `index`.
const Value* entry(const ObjectValue& obj, std::size_t index) {
    const Value& v = obj.slots[index];
    return v.is_absent() ? nullptr : &v;
}

/// The error for a character XML 1.0 cannot carry in a declared namespace URI.
[[gnu::noinline, gnu::cold]] BindError unwritable_namespace(char32_t c) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
    return BindError::serialization("character " + std::string(code) +
                                    " in a namespace URI cannot be written in XML 1.0");
}

/// Writes the element content of the text field: its scalar text, or the
/// texts of a list's items one after the other; empty texts are not written.
Status write_text_content(XmlWriter& writer, const FieldSchema& field, const ClassSchema& owner,
                          const Value& v) {
    FormatScratch scratch;
    if (auto text = format_scalar(v, scratch)) {
        if (!text->empty() && !writer.text(*text))
            return unwritable(writer.rejected(), field, owner);
        return {};
    }
    if (v.kind() != Value::Kind::List) return {};
    for (const Value& item : v.as_list()) {
        if (item.is_absent()) continue;
        FormatScratch item_scratch;
        auto text = format_scalar(item, item_scratch);
        if (text && !text->empty() && !writer.text(*text)) {
            return unwritable(writer.rejected(), field, owner);
        }
    }
    return {};
}

/// How the plain writer names things: an element or attribute by its field's
/// XML name, and no start tag declares anything.
struct PlainNames {
    /// Where an element is written: its name.
    using Place = std::string_view;
    /// An open element: its name.
    using Open = std::string_view;

    bool open(XmlWriter& writer, Place name, Open& open) const {
        writer.open_start_tag(name);
        open = name;
        return true;
    }
    bool attribute(XmlWriter& writer, const FieldSchema& field, const Open&,
                   std::string_view text) const {
        return writer.attribute(field.xml_name, text);
    }
    Place place_of(const FieldSchema& field, const Open&) const { return field.xml_name; }
    bool text_element(XmlWriter& writer, Place name, std::string_view text) const {
        return writer.text_element(name, text);
    }
    void close(XmlWriter& writer, const Open& open) const { writer.end_tag(open); }
    /// The error after a false answer above: only the text of a field can
    /// fail here, so `field` is never null.
    Status failure(const XmlWriter& writer, const FieldSchema* field,
                   const ClassSchema& owner) const {
        return unwritable(writer.rejected(), *field, owner);
    }
};

/// How a namespace-aware tree is named after its plan. Each element passes
/// down the namespace its fields inherit and the default namespace in scope:
/// an element in the default namespace in scope is unprefixed, one in another
/// namespace prefixed, one in no namespace undeclares the default; the root
/// declares the default namespace and every prefix of the plan.
class NamespacedNames {
public:
    explicit NamespacedNames(const NamespacePlan& plan) : plan_(plan) {}

    /// Where an element is written.
    struct Place {
        std::string_view uri;
        std::string_view local;
        std::string_view default_in_scope;
        bool root = false;
    };
    /// An open element: its namespace, its name, and the default namespace in
    /// scope inside it.
    struct Open {
        std::string_view uri;
        std::string_view prefix;
        std::string_view local;
        std::string_view inside;
    };

    /// Writes "<tag" with the declarations it needs.
    bool open(XmlWriter& writer, const Place& place, Open& open) {
        const Tag tag =
            place.root ? Tag{{}, !place.uri.empty()} : tag_for(place.uri, place.default_in_scope);
        open = {place.uri, tag.prefix, place.local, place.default_in_scope};
        writer.open_start_tag(tag.prefix, place.local);
        bool ok = true;
        if (place.root) {
            if (!plan_.default_ns.empty()) ok = writer.attribute("xmlns", plan_.default_ns);
            for (const auto& [prefix, declared] : plan_.declarations) {
                ok = ok && writer.attribute("xmlns", prefix, declared);
            }
            if (tag.declare_default) open.inside = place.uri;
        } else if (tag.declare_default) {
            ok = writer.attribute("xmlns", place.uri);
            open.inside = place.uri;
        }
        if (!ok) error_ = unwritable_namespace(writer.rejected());
        return ok;
    }

    /// Writes an attribute, prefixed when it is in a namespace.
    bool attribute(XmlWriter& writer, const FieldSchema& field, const Open& open,
                   std::string_view text) {
        const std::string_view uri = uri_of(field, open.uri);
        std::string_view prefix;
        if (uri == XML_NAMESPACE) {
            prefix = "xml";
        } else if (!uri.empty()) {
            const std::string* declared = plan_.prefix_of(uri);
            if (declared == nullptr) {
                error_ = BindError::serialization("no prefix declared for namespace " +
                                                  std::string(uri));
                return false;
            }
            prefix = *declared;
        }
        return writer.attribute(prefix, field.local(), text);
    }

    Place place_of(const FieldSchema& field, const Open& open) const {
        return {uri_of(field, open.uri), field.local(), open.inside, false};
    }

    bool text_element(XmlWriter& writer, const Place& place, std::string_view text) {
        Open opened;
        if (!open(writer, place, opened)) return false;
        writer.close_start_tag();
        if (!writer.text(text)) return false;
        close(writer, opened);
        return true;
    }

    void close(XmlWriter& writer, const Open& open) const {
        writer.end_tag(open.prefix, open.local);
    }

    /// The error after a false answer above: a namespace error met on the
    /// way, else the character of `field`'s text that XML 1.0 cannot carry
    /// (`field` is null only for a start tag, whose failures are the former).
    Status failure(const XmlWriter& writer, const FieldSchema* field, const ClassSchema& owner) {
        if (!error_) return unwritable(writer.rejected(), *field, owner);
        Status s(std::move(*error_));
        error_.reset();
        return s;
    }

private:
    /// The prefix of an element in `uri`, and whether the element must
    /// (re)declare `uri` as the default namespace to be in it.
    struct Tag {
        std::string_view prefix;
        bool declare_default = false;
    };

    Tag tag_for(std::string_view uri, std::string_view default_in_scope) const {
        if (uri == default_in_scope) return {};
        if (uri == XML_NAMESPACE) return {"xml", false};
        if (!uri.empty()) {
            if (const std::string* prefix = plan_.prefix_of(uri)) return {*prefix, false};
        }
        return {{}, true};
    }

    /// The namespace of `field` inside an element in `context`.
    std::string_view uri_of(const FieldSchema& field, std::string_view context) const {
        switch (field.ns_rule) {
            case NsRule::Fixed:
                return field.ns;
            case NsRule::Inherit:
                return field.role == FieldRole::Element ? context : std::string_view();
            case NsRule::AnyPrefix:
                break;
        }
        // The plan has no error, so every prefix of the tree is bound.
        return plan_.uri_of(field.prefix()).value_or(std::string_view());
    }

    const NamespacePlan& plan_;
    std::optional<BindError> error_;
};

/// Writes class elements: the start tag with the attributes, the text field,
/// the child elements in field order, the end tag. `Names` (PlainNames or
/// NamespacedNames) says how each element and attribute is named and what a
/// start tag declares; it answers false on a failure, and builds the error
/// only then.
template <class Names>
class TreeWriter {
public:
    using Place = typename Names::Place;

    TreeWriter(XmlWriter& writer, Names names) : writer_(writer), names_(std::move(names)) {}

    Status element(const Place& place, const Value& value, const ClassSchema& schema) {
        if (value.kind() != Value::Kind::Object) {
            return BindError::serialization("Expected Object value for model");
        }
        // Trees from the walker and the parser stay within the limit already;
        // this keeps a tree built any other way from exhausting the stack.
        if (writer_.depth >= MAX_DEPTH) {
            return BindError::depth_exceeded(MAX_DEPTH, writer_.depth + 1);
        }
        const ObjectValue& obj = value.as_object();
        const std::size_t count = schema.fields.size();
        // The walker and the parser lay every object out by the schema it is
        // written with; an object laid out otherwise cannot be read by position.
        if (obj.schema != &schema || obj.slots.size() != count) {
            return BindError::serialization("Object value laid out for another class than " +
                                            schema.name);
        }

        typename Names::Open open;
        if (!names_.open(writer_, place, open)) return names_.failure(writer_, nullptr, schema);
        for (std::size_t i = 0; i < count; ++i) {
            const FieldSchema& field = schema.fields[i];
            if (field.role != FieldRole::Attribute) continue;
            const Value* v = entry(obj, i);
            if (v == nullptr) continue;
            FormatScratch scratch;
            const auto text = format_scalar(*v, scratch);
            if (text && !names_.attribute(writer_, field, open, *text)) {
                return names_.failure(writer_, &field, schema);
            }
        }
        writer_.close_start_tag();

        if (schema.text_field && *schema.text_field < count) {
            if (const Value* v = entry(obj, *schema.text_field)) {
                Status s =
                    write_text_content(writer_, schema.fields[*schema.text_field], schema, *v);
                if (!s) return s;
            }
        }

        ++writer_.depth;
        for (std::size_t i = 0; i < count; ++i) {
            const FieldSchema& field = schema.fields[i];
            if (field.role != FieldRole::Element) continue;
            const Value* v = entry(obj, i);
            if (v == nullptr || v->is_null()) continue;
            Status s = child(field, schema, names_.place_of(field, open), *v);
            if (!s) return s;
        }
        --writer_.depth;

        names_.close(writer_, open);
        return {};
    }

private:
    /// Writes one child-element field of `owner` holding `v`.
    Status child(const FieldSchema& field, const ClassSchema& owner, const Place& place,
                 const Value& v) {
        switch (field.type.kind()) {
            case TypeDesc::Kind::Scalar:
                if (!scalar(place, v)) return names_.failure(writer_, &field, owner);
                return {};
            case TypeDesc::Kind::Nested:
                return element(place, v, field.type.schema());
            case TypeDesc::Kind::List:
                break;
        }
        if (v.kind() != Value::Kind::List) return {};
        const TypeDesc& item_type = field.type.item();
        for (const Value& item : v.as_list()) {
            // An absent or null item (a None in the list) writes nothing.
            if (item.is_absent() || item.is_null()) continue;
            switch (item_type.kind()) {
                case TypeDesc::Kind::Nested: {
                    Status s = element(place, item, item_type.schema());
                    if (!s) return s;
                    break;
                }
                case TypeDesc::Kind::Scalar:
                    if (!scalar(place, item)) return names_.failure(writer_, &field, owner);
                    break;
                case TypeDesc::Kind::List:
                    break;  // a list of lists has no element form
            }
        }
        return {};
    }

    /// Writes the scalar element of `v`; nothing when `v` has no text.
    bool scalar(const Place& place, const Value& v) {
        FormatScratch scratch;
        const auto text = format_scalar(v, scratch);
        return !text || names_.text_element(writer_, place, *text);
    }

    XmlWriter& writer_;
    Names names_;
};

}  // namespace

XmlWriter::XmlWriter(std::optional<std::uint64_t> indent)
    : indented_(indent.has_value()), step_(indent.value_or(0)) {
    grow(512);
}

std::string XmlWriter::take() {
    std::string text(out_.get(), used_);
    used_ = 0;
    return text;
}

void XmlWriter::grow(std::size_t n) {
    const std::size_t capacity = std::max(capacity_ * 2, used_ + n);
    void* const grown = std::realloc(out_.get(), capacity);
    if (grown == nullptr) throw std::bad_alloc();
    (void)out_.release();
    out_.reset(static_cast<char*>(grown));
    capacity_ = capacity;
}

inline void XmlWriter::put_name(std::string_view prefix, std::string_view local) {
    if (!prefix.empty()) {
        put(prefix);
        put(':');
    }
    put(local);
}

inline bool XmlWriter::put_escaped(std::string_view s, std::uint8_t mask) {
    // Most texts hold no byte to replace: one table test a byte, one copy.
    const char* p = s.data();
    const char* const end = p + s.size();
    while (p != end && (kEscape[static_cast<unsigned char>(*p)] & mask) == 0) ++p;
    if (p != end) return put_escaped_from(s.data(), p, end, mask);
    put(s);
    return true;
}

/// The rest of put_escaped from the first selected byte `p` on: markup
/// characters are replaced, runs between them copied in one piece, and the
/// first character XML 1.0 cannot carry stops the text (out_ is left partly
/// written).
[[gnu::noinline]] bool XmlWriter::put_escaped_from(const char* run, const char* p, const char* end,
                                                   std::uint8_t mask) {
    for (; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        const std::uint8_t action = kEscape[c] & mask;
        if (action == 0) continue;
        if (action & kForbidden) {
            rejected_ = c;
            return false;
        }
        if (action & kNonCharacterLead) {
            if (end - p >= 3 && static_cast<unsigned char>(p[1]) == 0xBF &&
                (static_cast<unsigned char>(p[2]) & 0xFE) == 0xBE) {
                rejected_ =
                    static_cast<char32_t>(0xFFFE + (static_cast<unsigned char>(p[2]) - 0xBE));
                return false;
            }
            continue;
        }
        put({run, static_cast<std::size_t>(p - run)});
        put(reference_for(c));
        run = p + 1;
    }
    put({run, static_cast<std::size_t>(end - run)});
    return true;
}

void XmlWriter::line_break() {
    if (!indented_ || !pending_break_) return;
    char* const d = room(width_ + 1);
    d[0] = '\n';
    std::memset(d + 1, ' ', width_);
    used_ += width_ + 1;
}

void XmlWriter::open_start_tag(std::string_view name) { open_start_tag({}, name); }

void XmlWriter::open_start_tag(std::string_view prefix, std::string_view local) {
    line_break();
    put('<');
    put_name(prefix, local);
}

bool XmlWriter::attribute(std::string_view name, std::string_view value) {
    return attribute({}, name, value);
}

bool XmlWriter::attribute(std::string_view prefix, std::string_view local, std::string_view value) {
    put(' ');
    put_name(prefix, local);
    put("=\"");
    if (!put_escaped(value, kAttributeMask)) return false;
    put('"');
    return true;
}

void XmlWriter::close_start_tag() {
    put('>');
    width_ += step_;
    pending_break_ = true;
}

bool XmlWriter::text(std::string_view text) {
    if (!put_escaped(text, kTextMask)) return false;
    pending_break_ = false;
    return true;
}

bool XmlWriter::text_element(std::string_view name, std::string_view text) {
    // open_start_tag, close_start_tag, text and end_tag in one: the
    // indentation width comes back to where it was and no break falls inside.
    line_break();
    put('<');
    put(name);
    put('>');
    if (!put_escaped(text, kTextMask)) return false;
    put("</");
    put(name);
    put('>');
    pending_break_ = true;
    return true;
}

void XmlWriter::end_tag(std::string_view name) { end_tag({}, name); }

void XmlWriter::end_tag(std::string_view prefix, std::string_view local) {
    width_ = width_ > step_ ? width_ - step_ : 0;
    line_break();
    put("</");
    put_name(prefix, local);
    put('>');
    pending_break_ = true;
}

Status write_element(XmlWriter& writer, std::string_view name, const Value& value,
                     const ClassSchema& schema) {
    return TreeWriter<PlainNames>(writer, PlainNames{}).element(name, value, schema);
}

Result<std::string> write_document(std::string_view root_name, const Value& root,
                                   const ClassSchema& schema, std::optional<std::uint64_t> indent) {
    XmlWriter writer(indent);
    Status s;
    if (schema.namespace_aware()) {
        const NamespacePlan& plan = *schema.namespaces;
        if (!plan.error.empty()) return BindError::serialization(plan.error);
        const NamespacedNames::Place place{
            schema.ns ? std::string_view(*schema.ns) : std::string_view(), root_name, {}, true};
        s = TreeWriter<NamespacedNames>(writer, NamespacedNames(plan)).element(place, root, schema);
    } else {
        s = write_element(writer, root_name, root, schema);
    }
    if (!s) return std::move(s).error();
    return writer.take();
}

}  // namespace kestrix
