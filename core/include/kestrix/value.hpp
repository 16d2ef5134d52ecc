// core/include/kestrix/value.hpp: Value, the neutral tree between XML and Python.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kestrix {

struct ClassSchema;
class Value;

/// Items of a list field, in document order.
using ValueList = std::vector<Value>;

/// One class instance. Entries are kept by field position of `schema`: slot i
/// holds the value of `schema->fields[i]` (whose `name` is the entry's key), or
/// an absent Value when the instance has no entry for that field. Producers and
/// consumers always hold the schema beside the object, so positions replace the
/// name hashing a string-keyed map would need on every field.
struct ObjectValue {
    const ClassSchema* schema = nullptr;
    std::vector<Value> slots;

    ObjectValue() = default;
    /// An object for `schema` with every entry absent.
    explicit ObjectValue(const ClassSchema* schema);

    /// The entry under a field name, or null when there is none.
    const Value* find(std::string_view field_name) const;
    /// Number of entries present.
    std::size_t size() const;
};

/// A tagged value of exactly one kind. `Absent` marks an unset slot; it never
/// appears as a list item, and in an object it means "no entry".
class Value {
public:
    enum class Kind : std::uint8_t { Null, Bool, Int, Float, Str, List, Object, Absent };
    struct NullTag {};
    struct AbsentTag {};

    Value() noexcept : v_(std::in_place_index<7>) {}  // absent
    static Value null() { return Value(std::in_place_index<0>); }
    static Value boolean(bool b) { return Value(std::in_place_index<1>, b); }
    static Value integer(std::int64_t i) { return Value(std::in_place_index<2>, i); }
    static Value floating(double d) { return Value(std::in_place_index<3>, d); }
    static Value string(std::string s) { return Value(std::in_place_index<4>, std::move(s)); }
    static Value list(ValueList items) { return Value(std::in_place_index<5>, std::move(items)); }
    static Value object(ObjectValue obj) { return Value(std::in_place_index<6>, std::move(obj)); }

    Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }
    bool is_absent() const noexcept { return kind() == Kind::Absent; }
    bool is_null() const noexcept { return kind() == Kind::Null; }

    bool as_bool() const { return std::get<1>(v_); }
    std::int64_t as_int() const { return std::get<2>(v_); }
    double as_float() const { return std::get<3>(v_); }
    const std::string& as_str() const { return std::get<4>(v_); }
    std::string& as_str() { return std::get<4>(v_); }
    const ValueList& as_list() const { return std::get<5>(v_); }
    ValueList& as_list() { return std::get<5>(v_); }
    const ObjectValue& as_object() const { return std::get<6>(v_); }
    ObjectValue& as_object() { return std::get<6>(v_); }

private:
    template <std::size_t I, class... A>
    explicit Value(std::in_place_index_t<I> i, A&&... a) : v_(i, std::forward<A>(a)...) {}

    std::variant<NullTag, bool, std::int64_t, double, std::string, ValueList, ObjectValue,
                 AbsentTag>
        v_;
};

}  // namespace kestrix
