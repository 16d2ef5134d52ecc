// core/src/write/element_names.hpp: how the tree walk names elements and attributes:
// plain XML names, or namespace-aware names after a NamespacePlan with the
// declarations each start tag carries.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrix/error.hpp"
#include "kestrix/namespaces.hpp"
#include "kestrix/schema.hpp"
#include "kestrix/xml_writer.hpp"

namespace kestrix::detail {

/// The error for a character XML 1.0 cannot carry, found in `field` of `owner`.
[[gnu::cold]] BindError unwritable(char32_t c, const FieldSchema& field, const ClassSchema& owner);

/// The error for a character XML 1.0 cannot carry in a declared namespace URI.
[[gnu::cold]] BindError unwritable_namespace(char32_t c);

/// How the plain writer names things: an element or attribute by its field's
/// XML name, and no start tag declares anything.
struct PlainNames {
    /// Where an element is written: its name.
    using Place = std::string_view;
    /// An open element: its name.
    using Open = std::string_view;

    bool open(XmlWriter& writer, Place name, const ClassSchema*, Open& open) const {
        writer.open_start_tag(name);
        open = name;
        return true;
    }
    bool attribute(XmlWriter& writer, const FieldSchema& field, const Open&,
                   std::string_view text) const {
        return writer.attribute(field.xml_name, text);
    }
    Place place_of(const FieldSchema& field, const Open&) const { return field.xml_name; }
    /// The default namespace in scope inside an element: a plain tree declares none.
    std::string_view inside(const Open&) const { return {}; }
    std::string_view inside_of(Place) const { return {}; }
    bool text_element(XmlWriter& writer, Place name, std::string_view text) const {
        return writer.text_element(name, text);
    }
    void close(XmlWriter& writer, const Open& open) const { writer.end_tag(open); }
    /// The prefix the root declares for the XML Schema instance namespace: none.
    std::optional<std::string_view> xsi_prefix() const { return std::nullopt; }
    /// The error after a false answer above: only the text of a field can
    /// fail here, so `field` is never null.
    Status failure(const XmlWriter& writer, const FieldSchema* field,
                   const ClassSchema& owner) const {
        return unwritable(writer.rejected(), *field, owner);
    }
};

/// PlainNames for a tree whose field names use the well-known prefixes `xsi`
/// or `xlink`: notes which of them the document writes, so that finish()
/// declares those on the root element, unless the root's own attributes
/// (`xmlns:xsi="..."` held in a field) declare them already.
class WellKnownNames : public PlainNames {
public:
    explicit WellKnownNames(const NamespacePlan& plan) : plan_(plan) {}

    bool open(XmlWriter& writer, Place name, const ClassSchema* schema, Open& open) {
        PlainNames::open(writer, name, schema, open);
        if (!root_opened_) {
            root_opened_ = true;
            root_end_ = writer.size();
        }
        note(name);
        return true;
    }
    bool attribute(XmlWriter& writer, const FieldSchema& field, const Open& open,
                   std::string_view text) {
        const std::string_view name = field.xml_name;
        if (writer.depth == 0 && name.starts_with("xmlns:")) {
            declared_ |= bit_of(name.substr(6));
        } else {
            note(name);
        }
        return PlainNames::attribute(writer, field, open, text);
    }
    bool text_element(XmlWriter& writer, Place name, std::string_view text) {
        note(name);
        return PlainNames::text_element(writer, name, text);
    }

    /// The prefix of xsi:nil: `xsi`, declared on the root once a nil is written.
    std::optional<std::string_view> xsi_prefix() noexcept {
        const unsigned bit = bit_of("xsi");
        if (bit == 0) return std::nullopt;
        written_ |= bit;
        return "xsi";
    }

    /// Declares the noted prefixes on the root element.
    void finish(XmlWriter& writer) const;

private:
    /// The bit of the well-known `prefix`, 0 when it is none.
    unsigned bit_of(std::string_view prefix) const noexcept {
        for (std::size_t i = 0; i < plan_.well_known.size(); ++i) {
            if (plan_.well_known[i].first == prefix) return 1u << i;
        }
        return 0;
    }
    void note(std::string_view name) noexcept {
        const std::size_t colon = name.find(':');
        if (colon != std::string_view::npos) written_ |= bit_of(name.substr(0, colon));
    }

    const NamespacePlan& plan_;
    bool root_opened_ = false;
    std::size_t root_end_ = 0;  ///< where the root's name ends in the output
    unsigned written_ = 0;
    unsigned declared_ = 0;
};

/// The prefixes QName values are written with: the one the root declares for
/// their namespace, else the default namespace where it is theirs, else a
/// prefix of their own (a class's preferred one for that namespace, `xsi` or
/// `xlink` for theirs, else `ns0`, `ns1`...) that finish() declares on the
/// root element once the document is written.
class QNamePrefixes {
public:
    explicit QNamePrefixes(const NamespacePlan& plan) : plan_(plan) {}

    /// The text of the QName `clark` (`{uri}local` or `local`) inside an
    /// element whose default namespace in scope is `default_ns`, in `out`.
    /// False, with the reason in `error`, when it cannot be written.
    bool text(std::string_view clark, std::string_view default_ns, std::string& out,
              std::string& error);

    /// Declares the prefixes added for values on the root element, whose
    /// name ends at byte `at` of the output.
    void finish(XmlWriter& writer, std::size_t at) const;

    /// The URI the root binds `prefix` to (`xml` included), if any.
    std::optional<std::string_view> bound(std::string_view prefix) const noexcept;
    /// The prefixes the root binds to `uri`, in the order they are declared.
    std::vector<std::string_view> prefixes_for(std::string_view uri) const;
    /// Declares `prefix` for `uri` on the root when no prefix of that name is
    /// declared or reserved there; true when the root then binds it to `uri`.
    bool adopt(std::string_view prefix, std::string_view uri);
    /// Keeps `prefix` from ever being declared on the root: a name written
    /// with it as it stands, bound to nothing, must stay so.
    void reserve(std::string_view prefix) {
        if (!taken(prefix)) reserved_.emplace_back(std::string(prefix), std::string());
    }

private:
    bool taken(std::string_view prefix) const noexcept;

    const NamespacePlan& plan_;
    std::vector<std::pair<std::string, std::string>> added_;
    std::vector<std::pair<std::string, std::string>> reserved_;
    std::size_t generated_ = 0;
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

    /// Writes "<tag" with the declarations it needs; the element of a class
    /// (`schema` not null) that asks for a prefix of its own in its namespace
    /// gets it wherever the root declares it.
    bool open(XmlWriter& writer, const Place& place, const ClassSchema* schema, Open& open) {
        Tag tag;
        if (schema != nullptr && !schema->element_prefix.empty() && schema->ns &&
            place.uri == *schema->ns && plan_.declares(schema->element_prefix, place.uri)) {
            tag.prefix = schema->element_prefix;
        } else {
            tag = place.root ? Tag{{}, !place.uri.empty()}
                             : tag_for(place.uri, place.default_in_scope);
        }
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

    /// The default namespace in scope inside an open element, and inside the
    /// (not class) element `place` once written.
    std::string_view inside(const Open& open) const { return open.inside; }
    std::string_view inside_of(const Place& place) const {
        return tag_for(place.uri, place.default_in_scope).declare_default ? place.uri
                                                                          : place.default_in_scope;
    }

    bool text_element(XmlWriter& writer, const Place& place, std::string_view text) {
        Open opened;
        if (!open(writer, place, nullptr, opened)) return false;
        writer.close_start_tag();
        if (!writer.text(text)) return false;
        close(writer, opened);
        return true;
    }

    void close(XmlWriter& writer, const Open& open) const {
        writer.end_tag(open.prefix, open.local);
    }

    /// The prefix the root declares for the XML Schema instance namespace, if any.
    std::optional<std::string_view> xsi_prefix() const {
        if (const std::string* prefix = plan_.prefix_of(XSI_NAMESPACE)) return *prefix;
        return std::nullopt;
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

}  // namespace kestrix::detail
