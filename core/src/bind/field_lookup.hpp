// core/src/bind/field_lookup.hpp: name-to-field lookup tuned for the small classes of typical
// models.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "expanded_name.hpp"
#include "kestrix/schema.hpp"

namespace kestrix::detail {

/// Classes with at most this many fields are searched by scanning their fields;
/// larger ones through the schema's hash index.
inline constexpr std::size_t SCAN_LIMIT = 16;

/// `local_name` of a NUL-terminated name, in one pass over its bytes: names are
/// short, and two library scans (length, then colon) cost more than the bytes.
inline std::string_view local_name_of(const char* name) noexcept {
    const char* start = name;
    const char* p = name;
    for (; *p != '\0'; ++p) {
        if (*p == ':' && start == name) start = p + 1;
    }
    return std::string_view(start, static_cast<std::size_t>(p - start));
}

/// True when `name` is one of the keys a field is indexed under: its whole
/// xml_name, or the part after the first colon of it (`local`, which
/// build_indices has found).
inline bool field_answers_to(const FieldSchema& field, std::string_view name) noexcept {
    return std::string_view(field.xml_name) == name ||
           (field.local_at != 0 && field.local() == name);
}

/// The position of the field of `role` that `name` selects, the same answer as
/// the schema's own index for that role: when several fields answer to a name,
/// the last one wins, so the scan runs backwards.
inline std::optional<std::size_t> find_field(const ClassSchema& schema, FieldRole role,
                                             std::string_view name) noexcept {
    const std::size_t count = schema.fields.size();
    if (count > SCAN_LIMIT) {
        return role == FieldRole::Element ? schema.find_element(name) : schema.find_attribute(name);
    }
    for (std::size_t i = count; i-- > 0;) {
        const FieldSchema& field = schema.fields[i];
        if (field.role == role && field_answers_to(field, name)) return i;
    }
    return std::nullopt;
}

/// find_field that first tries the field at `hint` and the one after it, where
/// the next name mostly is (elements and attributes mostly arrive in field
/// order, and the items of a list one after another); `hint` then moves to
/// the field found. The answer is find_field's: a hinted field is taken only
/// when no later field answers to the same name.
inline std::optional<std::size_t> find_field_near(const ClassSchema& schema, FieldRole role,
                                                  std::string_view name,
                                                  std::size_t& hint) noexcept {
    const std::size_t count = schema.fields.size();
    for (std::size_t i = hint; i < count && i <= hint + 1; ++i) {
        const FieldSchema& field = schema.fields[i];
        if (field.role == role && field.last_of_its_names && field_answers_to(field, name)) {
            hint = i;
            return i;
        }
    }
    const std::optional<std::size_t> found = find_field(schema, role, name);
    if (found) hint = *found;
    return found;
}

/// True when the NUL-terminated `name` is `written`, no more and no less.
inline bool is_written_as(const char* name, const std::string& written) noexcept {
    // Byte by byte: names are short, and the name's NUL differs from every
    // byte of `written` before the end of either is passed.
    const std::size_t size = written.size();
    for (std::size_t i = 0; i < size; ++i) {
        if (name[i] != written[i]) return false;
    }
    return name[size] == '\0';
}

/// find_field_near for a NUL-terminated name as the reader gives it. A name
/// that is a field's whole xml_name answers to that field (its local part is
/// the field's local part too), so the hinted fields are tried on the name
/// as it stands, before its local part is sought.
inline std::optional<std::size_t> find_field_near(const ClassSchema& schema, FieldRole role,
                                                  const char* name, std::size_t& hint) noexcept {
    const std::size_t count = schema.fields.size();
    for (std::size_t i = hint; i < count && i <= hint + 1; ++i) {
        const FieldSchema& field = schema.fields[i];
        if (field.role == role && field.last_of_its_names && is_written_as(name, field.xml_name)) {
            hint = i;
            return i;
        }
    }
    return find_field_near(schema, role, local_name_of(name), hint);
}

/// find_field for a name read namespace-aware: a field answers when its local
/// part equals the name's and its namespace (see NsRule) equals the name's URI;
/// `context` is the namespace of the element the name stands in. The last
/// field that answers wins, as in find_field.
inline std::optional<std::size_t> find_expanded_field(const ClassSchema& schema, FieldRole role,
                                                      std::string_view context,
                                                      const ExpandedName& name) noexcept {
    for (std::size_t i = schema.fields.size(); i-- > 0;) {
        const FieldSchema& field = schema.fields[i];
        if (field.role != role || field.local() != name.local) continue;
        switch (field.ns_rule) {
            case NsRule::Fixed:
                if (field.ns == name.uri) return i;
                break;
            case NsRule::Inherit:
                if ((role == FieldRole::Element ? context : std::string_view()) == name.uri) {
                    return i;
                }
                break;
            case NsRule::AnyPrefix:
                return i;
        }
    }
    return std::nullopt;
}

}  // namespace kestrix::detail
