// core/src/bind/field_lookup.hpp: name-to-field lookup tuned for the small classes of typical
// models.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "kestrix/attribute_view.hpp"
#include "kestrix/schema.hpp"

namespace kestrix::detail {

/// Classes with at most this many fields are searched by scanning their fields;
/// larger ones through the schema's hash index.
inline constexpr std::size_t SCAN_LIMIT = 16;

/// `a == b` for the short names of tags and fields, in line (a library call
/// per comparison costs more than the bytes): the lengths, then the bytes in
/// words; two overlapping words cover a name of 4 to 8 bytes.
inline bool same_name(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const char* const p = a.data();
    const char* const q = b.data();
    const auto same = [](const char* x, const char* y, auto word) {
        std::memcpy(&word, x, sizeof word);
        decltype(word) other;
        std::memcpy(&other, y, sizeof other);
        return word == other;
    };
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 < n; i += 8) {
            if (!same(p + i, q + i, std::uint64_t{})) return false;
        }
        return same(p + n - 8, q + n - 8, std::uint64_t{});
    }
    if (n >= 4) return same(p, q, std::uint32_t{}) && same(p + n - 4, q + n - 4, std::uint32_t{});
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] != q[i]) return false;
    }
    return true;
}

/// True when `name` is one of the keys a field is indexed under: its whole
/// xml_name, or the part after the first colon of it (`local`, which
/// build_indices has found).
inline bool field_answers_to(const FieldSchema& field, std::string_view name) noexcept {
    return same_name(field.xml_name, name) ||
           (field.local_at != 0 && same_name(field.local(), name));
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

/// find_field_near for a name as the reader gives it, qualified as written.
/// A name that is a field's whole xml_name answers to that field (its local
/// part is the field's local part too), so the hinted fields are tried on the
/// name as it stands, before its local part is sought.
inline std::optional<std::size_t> find_written_field_near(const ClassSchema& schema, FieldRole role,
                                                          std::string_view name,
                                                          std::size_t& hint) noexcept {
    const std::size_t count = schema.fields.size();
    for (std::size_t i = hint; i < count && i <= hint + 1; ++i) {
        const FieldSchema& field = schema.fields[i];
        if (field.role == role && field.last_of_its_names && same_name(field.xml_name, name)) {
            hint = i;
            return i;
        }
    }
    return find_field_near(schema, role, local_name(name), hint);
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
