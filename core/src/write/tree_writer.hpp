// core/src/write/tree_writer.hpp: the tree walk of the emitter: a class element's
// start tag with its attributes, its text, its child elements in field order.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "catch_all_writer.hpp"
#include "element_names.hpp"
#include "kestrix/error.hpp"
#include "kestrix/namespaces.hpp"
#include "kestrix/scalar_format.hpp"
#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"
#include "kestrix/xml_writer.hpp"

namespace kestrix::detail {

/// The entry of field `index` in `obj`, or null when there is none. The
/// object is laid out by the schema it is written with (TreeWriter::element
/// checks it), so slot `index` holds field `index`.
inline const Value* entry(const ObjectValue& obj, std::size_t index) {
    const Value& v = obj.slots[index];
    return v.is_absent() ? nullptr : &v;
}

/// Writes `text` as element content: escaped, or as CDATA for a field that asks for it.
inline bool put_text(XmlWriter& writer, const FieldSchema& field, std::string_view text) {
    return field.cdata ? writer.cdata(text) : writer.text(text);
}

/// Writes the element content of the text field: its scalar text, or the
/// texts of a list's items one after the other; empty texts are not written.
inline Status write_text_content(XmlWriter& writer, const FieldSchema& field,
                                 const ClassSchema& owner, const Value& v) {
    FormatScratch scratch;
    if (auto text = format_scalar(v, scratch)) {
        if (!text->empty() && !put_text(writer, field, *text))
            return unwritable(writer.rejected(), field, owner);
        return {};
    }
    if (v.kind() != Value::Kind::List) return {};
    for (const Value& item : v.as_list()) {
        if (item.is_absent()) continue;
        FormatScratch item_scratch;
        auto text = format_scalar(item, item_scratch);
        if (text && !text->empty() && !put_text(writer, field, *text)) {
            return unwritable(writer.rejected(), field, owner);
        }
    }
    return {};
}

/// Writes class elements: the start tag with the attributes, the text field,
/// the child elements in field order, the end tag. `Names` (PlainNames or
/// NamespacedNames) says how each element and attribute is named and what a
/// start tag declares; it answers false on a failure, and builds the error
/// only then.
template <class Names>
class TreeWriter {
public:
    using Place = typename Names::Place;

    /// `qnames` writes QName values; null for a tree without them.
    TreeWriter(XmlWriter& writer, Names names, QNamePrefixes* qnames = nullptr)
        : writer_(writer), names_(std::move(names)), qnames_(qnames) {}

    const Names& names() const noexcept { return names_; }

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
        if (obj.schema != &schema || obj.slots.size() != count) [[unlikely]] {
            // A subclass that declares a type name stands in for the class:
            // written as itself, with its xsi:type.
            const Substitute* substitute = find_substitute(schema, obj.schema);
            if (substitute == nullptr || pending_type_ != nullptr) {
                return BindError::serialization("Object value laid out for another class than " +
                                                schema.name);
            }
            pending_type_ = substitute;
            return element(place, value, substitute->type.schema());
        }

        typename Names::Open open;
        if (!names_.open(writer_, place, &schema, open))
            return names_.failure(writer_, nullptr, schema);
        if (pending_type_ != nullptr) [[unlikely]] {
            const Substitute& substitute = *std::exchange(pending_type_, nullptr);
            if (!type_attribute(open, substitute)) {
                if (!qname_error_.empty()) {
                    return BindError::serialization("the xsi:type of " + schema.name +
                                                    " cannot be written: " + qname_error_);
                }
                return names_.failure(writer_, nullptr, schema);
            }
        }
        // Whitespace inside an element with text content would join the text.
        const bool compact = schema.text_field.has_value() || schema.mixed_field.has_value();
        if (compact) writer_.begin_compact();
        for (std::size_t i = 0; i < count; ++i) {
            const FieldSchema& field = schema.fields[i];
            if (field.role != FieldRole::Attribute) continue;
            const Value* v = entry(obj, i);
            if (v == nullptr) continue;
            FormatScratch scratch;
            auto text = format_scalar(*v, scratch);
            if (text && qnames_ != nullptr && holds_qnames(field)) {
                if (!qname(*text, names_.inside(open))) return qname_error(field, schema);
                text = qname_text_;
            }
            if (text && !names_.attribute(writer_, field, open, *text)) {
                return names_.failure(writer_, &field, schema);
            }
        }
        if (schema.any_attributes) [[unlikely]] {
            Status s = caught_attributes(obj, schema);
            if (!s) return s;
        }
        writer_.close_start_tag();

        if (schema.text_field && *schema.text_field < count) {
            if (const Value* v = entry(obj, *schema.text_field)) {
                const FieldSchema& field = schema.fields[*schema.text_field];
                Value text = *v;
                if (qnames_ != nullptr && holds_qnames(field) && v->kind() == Value::Kind::Str) {
                    if (!qname(v->as_str(), names_.inside(open))) {
                        return qname_error(field, schema);
                    }
                    text = Value::string(qname_text_);
                }
                Status s = write_text_content(writer_, field, schema, text);
                if (!s) return s;
            }
        }

        ++writer_.depth;
        for (std::size_t i = 0; i < count; ++i) {
            const FieldSchema& field = schema.fields[i];
            const FieldRole role = field.role;
            if (role != FieldRole::Element && role != FieldRole::Choice &&
                role != FieldRole::AnyElements) {
                continue;
            }
            const Value* v = entry(obj, i);
            if (v == nullptr) continue;
            if (v->is_null()) {
                // A None list has no item to mark: it is left out like any None.
                if (field.nillable && !field.type.is_list() && !nil(names_.place_of(field, open))) {
                    return names_.failure(writer_, &field, schema);
                }
                continue;
            }
            Status s = role == FieldRole::Element
                           ? child(field, schema, names_.place_of(field, open), *v)
                       : role == FieldRole::Choice ? choices(field, schema, open, *v)
                                                   : caught(field, schema, names_.inside(open), *v);
            if (!s) return s;
        }
        --writer_.depth;

        names_.close(writer_, open);
        if (compact) writer_.end_compact();
        return {};
    }

private:
    /// Writes one child-element field of `owner` holding `v`. Inlined into
    /// its callers: the walk over ordinary fields keeps it in one frame, as
    /// most elements of a document are written through it.
    [[gnu::always_inline]] Status child(const FieldSchema& field, const ClassSchema& owner,
                                        const Place& place, const Value& v) {
        switch (field.type.kind()) {
            case TypeDesc::Kind::Scalar:
                if (!scalar(field, place, v)) return scalar_failure(field, owner);
                return {};
            case TypeDesc::Kind::Nested:
                return element(place, v, field.type.schema());
            case TypeDesc::Kind::Choice:
                return {};  // written by choices()
            case TypeDesc::Kind::List:
                break;
        }
        if (v.kind() != Value::Kind::List) return {};
        const TypeDesc& item_type = field.type.item();
        for (const Value& item : v.as_list()) {
            // An absent or null item (a None in the list) writes nothing,
            // unless the field writes it as a nil item.
            if (item.is_absent()) continue;
            if (item.is_null()) {
                if (field.nillable && !nil(place)) return names_.failure(writer_, &field, owner);
                continue;
            }
            switch (item_type.kind()) {
                case TypeDesc::Kind::Nested: {
                    Status s = element(place, item, item_type.schema());
                    if (!s) return s;
                    break;
                }
                case TypeDesc::Kind::Scalar:
                    if (!scalar(field, place, item)) return scalar_failure(field, owner);
                    break;
                case TypeDesc::Kind::List:
                case TypeDesc::Kind::Choice:
                    break;  // a list of lists has no element form
            }
        }
        return {};
    }

    /// Writes the items of a choice field of `owner` holding `v`, in order:
    /// each as the element of its member, a text run as text.
    Status choices(const FieldSchema& field, const ClassSchema& owner,
                   const typename Names::Open& open, const Value& v) {
        if (field.type.is_choice()) return choice(field, owner, open, v);
        if (v.kind() != Value::Kind::List) return {};
        for (const Value& item : v.as_list()) {
            if (item.is_absent() || item.is_null()) continue;
            Status s = choice(field, owner, open, item);
            if (!s) return s;
        }
        return {};
    }

    Status choice(const FieldSchema& field, const ClassSchema& owner,
                  const typename Names::Open& open, const Value& item) {
        std::size_t position = 0;
        Value value;
        if (!read_choice_item(item, position, value) || position >= field.choices.size()) {
            return BindError::serialization("Expected a choice item for field '" + field.name +
                                            "' of " + owner.name);
        }
        if (value.is_absent() || value.is_null()) return {};
        const FieldSchema& member = field.choices[position];
        if (member.role == FieldRole::AnyElements) [[unlikely]]
            return caught(field, owner, names_.inside(open), value);
        if (member.role != FieldRole::Text) {
            return child(member, owner, names_.place_of(member, open), value);
        }
        FormatScratch scratch;
        const auto text = format_scalar(value, scratch);
        if (text && !text->empty() && !writer_.text(*text)) {
            return names_.failure(writer_, &member, owner);
        }
        return {};
    }

    /// Writes the nodes of a catch-all field (or one caught node) of `owner`
    /// inside an element whose default namespace in scope is `default_ns`.
    [[gnu::noinline]] Status caught(const FieldSchema& field, const ClassSchema& owner,
                                    std::string_view default_ns, const Value& v) {
        if (qnames_ == nullptr) return no_prefixes(owner);
        CatchAllWriter nodes(writer_, *qnames_, field, owner);
        if (v.kind() != Value::Kind::List) return nodes.node(v, default_ns);
        for (const Value& item : v.as_list()) {
            if (item.is_absent() || item.is_null()) continue;
            Status s = nodes.node(item, default_ns);
            if (!s) return s;
        }
        return {};
    }

    /// Writes the catch-all attributes of `obj`, an instance of `schema`.
    [[gnu::noinline]] Status caught_attributes(const ObjectValue& obj, const ClassSchema& schema) {
        const FieldSchema& field = schema.fields[*schema.any_attributes];
        const Value* v = entry(obj, *schema.any_attributes);
        if (v == nullptr || v->is_null()) return {};
        if (qnames_ == nullptr) return no_prefixes(schema);
        return CatchAllWriter(writer_, *qnames_, field, schema).attributes(*v, obj);
    }

    [[gnu::cold]] static Status no_prefixes(const ClassSchema& owner) {
        return BindError::serialization("the catch-all content of " + owner.name +
                                        " cannot be written without a namespace plan");
    }

    /// Writes the scalar element of `v` for `field`; nothing when `v` has no
    /// text. False on a failure, which scalar_failure() describes.
    bool scalar(const FieldSchema& field, const Place& place, const Value& v) {
        FormatScratch scratch;
        auto text = format_scalar(v, scratch);
        if (!text) return true;
        if (qnames_ != nullptr && holds_qnames(field)) {
            if (!qname(*text, names_.inside_of(place))) {
                qname_failed_ = true;
                return false;
            }
            text = qname_text_;
        }
        if (field.cdata) [[unlikely]]
            return cdata_element(place, *text);
        return names_.text_element(writer_, place, *text);
    }

    /// Writes a scalar element whose text is a CDATA section.
    [[gnu::noinline]] bool cdata_element(const Place& place, std::string_view text) {
        typename Names::Open open;
        if (!names_.open(writer_, place, nullptr, open)) return false;
        writer_.close_start_tag();
        if (!writer_.cdata(text)) return false;
        names_.close(writer_, open);
        return true;
    }

    /// The error after scalar() failed for `field` of `owner`.
    [[gnu::cold]] Status scalar_failure(const FieldSchema& field, const ClassSchema& owner) {
        if (qname_failed_) return qname_error(field, owner);
        return names_.failure(writer_, &field, owner);
    }

    static bool holds_qnames(const FieldSchema& field) noexcept {
        const TypeDesc& type = field.type.is_list() ? field.type.item() : field.type;
        return type.is_scalar() && type.scalar_kind() == ScalarKind::QName;
    }

    /// The written form of the QName `clark` in `qname_text_`.
    bool qname(std::string_view clark, std::string_view default_ns) {
        return qnames_->text(clark, default_ns, qname_text_, qname_error_);
    }

    [[gnu::cold]] Status qname_error(const FieldSchema& field, const ClassSchema& owner) const {
        return BindError::serialization("the value of field '" + field.name + "' of " + owner.name +
                                        " cannot be written: " + qname_error_);
    }

    /// Writes the xsi:type attribute that names `substitute`'s type: with the
    /// prefixes the root declares (or gets declared for it), else declared
    /// on the element itself when no prefix can be added to the root.
    [[gnu::noinline]] bool type_attribute(const typename Names::Open& open,
                                          const Substitute& substitute) {
        const std::string& uri = substitute.type_ns;
        const std::string& local = substitute.type_name;
        if (qnames_ == nullptr) {
            if (!writer_.attribute("xmlns", "xsi", XSI_NAMESPACE)) return false;
            if (uri.empty()) return writer_.attribute("xsi", "type", local);
            return writer_.attribute("xmlns", "xst", uri) &&
                   writer_.attribute("xsi", "type", "xst:" + local);
        }
        std::string name;
        if (const std::optional<std::string_view> xsi = names_.xsi_prefix()) {
            name = std::string(*xsi) + ":type";
        } else {
            if (!qname("{" + std::string(XSI_NAMESPACE) + "}type", names_.inside(open))) {
                return false;
            }
            name = qname_text_;
        }
        if (!qname(uri.empty() ? local : "{" + uri + "}" + local, names_.inside(open))) {
            return false;
        }
        return writer_.attribute(name, qname_text_);
    }

    /// Writes the empty element of a nil field: marked xsi:nil="true", with
    /// `xsi` declared on the element unless the root declares it.
    [[gnu::noinline]] bool nil(const Place& place) {
        typename Names::Open open;
        if (!names_.open(writer_, place, nullptr, open)) return false;
        const std::optional<std::string_view> declared = names_.xsi_prefix();
        bool ok = true;
        if (!declared) {
            ok = writer_.attribute("xmlns", "xsi", XSI_NAMESPACE) &&
                 writer_.attribute("xsi", "nil", "true");
        } else {
            ok = writer_.attribute(*declared, "nil", "true");
        }
        writer_.end_empty_tag();
        return ok;
    }

    XmlWriter& writer_;
    Names names_;
    QNamePrefixes* qnames_;
    std::string qname_text_;
    std::string qname_error_;
    bool qname_failed_ = false;
    /// The substitute whose xsi:type the element being opened writes.
    const Substitute* pending_type_ = nullptr;
};

}  // namespace kestrix::detail
