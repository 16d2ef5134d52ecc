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

/// The entry of field `index` of `schema` in `obj`, or null when there is none.
/// Objects built for this very schema are read by position; an object built
/// against another schema is read by field name, since its positions do not
/// line up with `schema`.
const Value* entry(const ObjectValue& obj, const ClassSchema& schema, std::size_t index) {
    const Value* v = nullptr;
    if (obj.schema == &schema) {
        if (index < obj.slots.size()) v = &obj.slots[index];
    } else {
        v = obj.find(schema.fields[index].name);
    }
    return v == nullptr || v->is_absent() ? nullptr : v;
}

/// The error for a character XML 1.0 cannot carry in a declared namespace URI.
[[gnu::noinline, gnu::cold]] BindError unwritable_namespace(char32_t c) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
    return BindError::serialization("character " + std::string(code) +
                                    " in a namespace URI cannot be written in XML 1.0");
}

/// Writes the scalar element `<name>text</name>`; nothing when `v` has no text.
/// False when the text holds a character XML 1.0 cannot carry (see
/// XmlWriter::rejected()): the caller, which knows the field, builds the error.
bool write_scalar_element(XmlWriter& writer, std::string_view name, const Value& v) {
    FormatScratch scratch;
    const auto text = format_scalar(v, scratch);
    return !text || writer.text_element(name, *text);
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

/// Writes one child-element field of `owner` holding `v`.
Status write_child(XmlWriter& writer, const FieldSchema& field, const ClassSchema& owner,
                   const Value& v) {
    switch (field.type.kind()) {
        case TypeDesc::Kind::Scalar:
            if (!write_scalar_element(writer, field.xml_name, v)) {
                return unwritable(writer.rejected(), field, owner);
            }
            return {};
        case TypeDesc::Kind::Nested:
            return write_element(writer, field.xml_name, v, field.type.schema());
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
                Status s = write_element(writer, field.xml_name, item, item_type.schema());
                if (!s) return s;
                break;
            }
            case TypeDesc::Kind::Scalar:
                if (!write_scalar_element(writer, field.xml_name, item)) {
                    return unwritable(writer.rejected(), field, owner);
                }
                break;
            case TypeDesc::Kind::List:
                break;  // a list of lists has no element form
        }
    }
    return {};
}

/// Writes a class tree namespace-well-formed after its plan. Each element
/// passes down the namespace its fields inherit and the default namespace in
/// scope.
class NamespacedWriter {
public:
    NamespacedWriter(XmlWriter& writer, const NamespacePlan& plan) : writer_(writer), plan_(plan) {}

    Status document(std::string_view root_name, const Value& root, const ClassSchema& schema) {
        if (!plan_.error.empty()) return BindError::serialization(plan_.error);
        return element(schema.ns.value_or(std::string()), root_name, root, schema, {}, true);
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

    /// Writes "<tag" with the declarations it needs; returns the default
    /// namespace in scope inside it.
    Result<std::string_view> open(std::string_view uri, std::string_view local, Tag tag,
                                  std::string_view default_in_scope, bool root) {
        writer_.open_start_tag(tag.prefix, local);
        bool ok = true;
        std::string_view inside = default_in_scope;
        if (root) {
            if (!plan_.default_ns.empty()) ok = writer_.attribute("xmlns", plan_.default_ns);
            for (const auto& [prefix, declared] : plan_.declarations) {
                ok = ok && writer_.attribute("xmlns", prefix, declared);
            }
            if (tag.declare_default) inside = uri;
        } else if (tag.declare_default) {
            ok = writer_.attribute("xmlns", uri);
            inside = uri;
        }
        if (!ok) return unwritable_namespace(writer_.rejected());
        return inside;
    }

    Status scalar(const FieldSchema& field, const ClassSchema& owner, std::string_view uri,
                  const Value& v, std::string_view default_in_scope) {
        FormatScratch scratch;
        auto text = format_scalar(v, scratch);
        if (!text) return {};
        const Tag tag = tag_for(uri, default_in_scope);
        Result<std::string_view> opened = open(uri, field.local(), tag, default_in_scope, false);
        if (!opened) return std::move(opened).error();
        writer_.close_start_tag();
        if (!writer_.text(*text)) return unwritable(writer_.rejected(), field, owner);
        writer_.end_tag(tag.prefix, field.local());
        return {};
    }

    Status child(const FieldSchema& field, const ClassSchema& owner, std::string_view uri,
                 const Value& v, std::string_view default_in_scope) {
        const std::string_view local = field.local();
        switch (field.type.kind()) {
            case TypeDesc::Kind::Scalar:
                return scalar(field, owner, uri, v, default_in_scope);
            case TypeDesc::Kind::Nested:
                return element(uri, local, v, field.type.schema(), default_in_scope, false);
            case TypeDesc::Kind::List:
                break;
        }
        if (v.kind() != Value::Kind::List) return {};
        const TypeDesc& item_type = field.type.item();
        for (const Value& item : v.as_list()) {
            // An absent or null item (a None in the list) writes nothing.
            if (item.is_absent() || item.is_null()) continue;
            Status s;
            if (item_type.is_nested()) {
                s = element(uri, local, item, item_type.schema(), default_in_scope, false);
            } else if (item_type.is_scalar()) {
                s = scalar(field, owner, uri, item, default_in_scope);
            }
            if (!s) return s;
        }
        return {};
    }

    Status element(std::string_view uri, std::string_view local, const Value& value,
                   const ClassSchema& schema, std::string_view default_in_scope, bool root) {
        if (value.kind() != Value::Kind::Object) {
            return BindError::serialization("Expected Object value for model");
        }
        if (writer_.depth >= MAX_DEPTH) {
            return BindError::depth_exceeded(MAX_DEPTH, writer_.depth + 1);
        }
        const ObjectValue& obj = value.as_object();
        const std::size_t count = schema.fields.size();

        const Tag tag = root ? Tag{{}, !uri.empty()} : tag_for(uri, default_in_scope);
        Result<std::string_view> opened = open(uri, local, tag, default_in_scope, root);
        if (!opened) return std::move(opened).error();
        const std::string_view inside = opened.value();
        for (std::size_t i = 0; i < count; ++i) {
            const FieldSchema& field = schema.fields[i];
            if (field.role != FieldRole::Attribute) continue;
            const Value* v = entry(obj, schema, i);
            if (v == nullptr) continue;
            FormatScratch scratch;
            auto text = format_scalar(*v, scratch);
            if (!text) continue;
            const std::string_view attribute_uri = uri_of(field, uri);
            std::string_view prefix;
            if (attribute_uri == XML_NAMESPACE) {
                prefix = "xml";
            } else if (!attribute_uri.empty()) {
                const std::string* declared = plan_.prefix_of(attribute_uri);
                if (declared == nullptr) {
                    return BindError::serialization("no prefix declared for namespace " +
                                                    std::string(attribute_uri));
                }
                prefix = *declared;
            }
            if (!writer_.attribute(prefix, field.local(), *text)) {
                return unwritable(writer_.rejected(), field, schema);
            }
        }
        writer_.close_start_tag();

        if (schema.text_field && *schema.text_field < count) {
            if (const Value* v = entry(obj, schema, *schema.text_field)) {
                Status s =
                    write_text_content(writer_, schema.fields[*schema.text_field], schema, *v);
                if (!s) return s;
            }
        }

        ++writer_.depth;
        for (std::size_t i = 0; i < count; ++i) {
            const FieldSchema& field = schema.fields[i];
            if (field.role != FieldRole::Element) continue;
            const Value* v = entry(obj, schema, i);
            if (v == nullptr || v->is_null()) continue;
            Status s = child(field, schema, uri_of(field, uri), *v, inside);
            if (!s) return s;
        }
        --writer_.depth;

        writer_.end_tag(tag.prefix, local);
        return {};
    }

    XmlWriter& writer_;
    const NamespacePlan& plan_;
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

void XmlWriter::put_name(std::string_view prefix, std::string_view local) {
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

void XmlWriter::open_start_tag(std::string_view name) {
    line_break();
    put('<');
    put(name);
}

void XmlWriter::open_start_tag(std::string_view prefix, std::string_view local) {
    line_break();
    put('<');
    put_name(prefix, local);
}

bool XmlWriter::attribute(std::string_view name, std::string_view value) {
    put(' ');
    put(name);
    put("=\"");
    if (!put_escaped(value, kAttributeMask)) return false;
    put('"');
    return true;
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

void XmlWriter::end_tag(std::string_view name) {
    width_ = width_ > step_ ? width_ - step_ : 0;
    line_break();
    put("</");
    put(name);
    put('>');
    pending_break_ = true;
}

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
    if (value.kind() != Value::Kind::Object) {
        return BindError::serialization("Expected Object value for model");
    }
    // Trees from the walker and the parser stay within the limit already; this
    // keeps a tree built any other way from exhausting the stack.
    if (writer.depth >= MAX_DEPTH) return BindError::depth_exceeded(MAX_DEPTH, writer.depth + 1);
    const ObjectValue& obj = value.as_object();
    const std::size_t count = schema.fields.size();

    writer.open_start_tag(name);
    for (std::size_t i = 0; i < count; ++i) {
        const FieldSchema& field = schema.fields[i];
        if (field.role != FieldRole::Attribute) continue;
        const Value* v = entry(obj, schema, i);
        if (v == nullptr) continue;
        FormatScratch scratch;
        auto text = format_scalar(*v, scratch);
        if (text && !writer.attribute(field.xml_name, *text)) {
            return unwritable(writer.rejected(), field, schema);
        }
    }
    writer.close_start_tag();

    if (schema.text_field && *schema.text_field < count) {
        if (const Value* v = entry(obj, schema, *schema.text_field)) {
            Status s = write_text_content(writer, schema.fields[*schema.text_field], schema, *v);
            if (!s) return s;
        }
    }

    ++writer.depth;
    for (std::size_t i = 0; i < count; ++i) {
        const FieldSchema& field = schema.fields[i];
        if (field.role != FieldRole::Element) continue;
        const Value* v = entry(obj, schema, i);
        if (v == nullptr || v->is_null()) continue;
        Status s = write_child(writer, field, schema, *v);
        if (!s) return s;
    }
    --writer.depth;

    writer.end_tag(name);
    return {};
}

Result<std::string> write_document(std::string_view root_name, const Value& root,
                                   const ClassSchema& schema, std::optional<std::uint64_t> indent) {
    if (schema.namespace_aware()) {
        XmlWriter writer(indent);
        Status s = NamespacedWriter(writer, *schema.namespaces).document(root_name, root, schema);
        if (!s) return std::move(s).error();
        return writer.take();
    }
    XmlWriter writer(indent);
    Status s = write_element(writer, root_name, root, schema);
    if (!s) return std::move(s).error();
    return writer.take();
}

}  // namespace kestrix
