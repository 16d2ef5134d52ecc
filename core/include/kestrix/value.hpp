// core/include/kestrix/value.hpp: Value, the neutral tree between XML and Python.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>

#include "kestrix/arena.hpp"

namespace kestrix {

struct ClassSchema;
class Value;

/// Items of a list field, in document order.
using ValueList = std::span<const Value>;

/// One class instance. Entries are kept by field position of `schema`: slot i
/// holds the value of `schema->fields[i]`, or an absent Value when the instance
/// has no entry for that field. Producers and consumers always hold the schema
/// beside the object, and read it only under the schema it was made for, so
/// positions replace the name hashing a string-keyed map would need on every
/// field.
struct ObjectValue {
    const ClassSchema* schema = nullptr;
    std::span<Value> slots;
    /// Where the element's start tag stands: its byte offset in the document
    /// (always), and its line and column when the document is fed in chunks
    /// and cannot be read again (0 otherwise). Read only when building the
    /// object fails, to say where (see element_facts.hpp).
    std::uint64_t offset = 0;
    std::uint32_t line = 0;
    std::uint32_t column = 0;

    /// A new object in `arena` for `schema`, with every entry absent.
    static ObjectValue* make(const ClassSchema& schema, Arena& arena);
};

/// A tagged value of exactly one kind. `Absent` marks an unset slot; it never
/// appears as a list item, and in an object it means "no entry".
///
/// A Value is 16 bytes, trivially copied and never destroyed: the text of a
/// string, the items of a list and the entries of an object live in the Arena
/// of the tree (see ValueTree), which holds them as long as the tree lives.
class Value {
public:
    enum class Kind : std::uint8_t { Null, Bool, Int, Float, Str, List, Object, Absent };

    constexpr Value() noexcept : i_(0), meta_(pack(Kind::Absent, 0)) {}
    static Value null() noexcept { return Value(Kind::Null); }
    static Value boolean(bool b) noexcept {
        Value v(Kind::Bool);
        v.b_ = b;
        return v;
    }
    static Value integer(std::int64_t i) noexcept {
        Value v(Kind::Int);
        v.i_ = i;
        return v;
    }
    static Value floating(double d) noexcept {
        Value v(Kind::Float);
        v.d_ = d;
        return v;
    }
    /// A string viewing `text`, which must outlive the value (arena memory).
    static Value string(std::string_view text) noexcept {
        Value v(Kind::Str, text.size());
        v.s_ = text.data();
        return v;
    }
    /// A list viewing `count` items at `items`, which must outlive the value.
    static Value list(Value* items, std::size_t count) noexcept {
        Value v(Kind::List, count);
        v.items_ = items;
        return v;
    }
    /// An object value for `object`, which must outlive the value.
    static Value object(const ObjectValue* object) noexcept {
        Value v(Kind::Object);
        v.object_ = object;
        return v;
    }

    Kind kind() const noexcept { return static_cast<Kind>(meta_ & 0xFF); }
    bool is_absent() const noexcept { return kind() == Kind::Absent; }
    bool is_null() const noexcept { return kind() == Kind::Null; }

    // The accessors require the matching kind.
    bool as_bool() const noexcept { return b_; }
    std::int64_t as_int() const noexcept { return i_; }
    double as_float() const noexcept { return d_; }
    std::string_view as_str() const noexcept { return std::string_view(s_, size()); }
    ValueList as_list() const noexcept { return ValueList(items_, size()); }
    const ObjectValue& as_object() const noexcept { return *object_; }

    /// Appends `item` to this value, turning an absent value into a list first;
    /// the items live in `arena`, which must be the arena of every earlier
    /// append. Only for absent values and lists built by `append`. The room doubles at each power
    /// of two, so a list of n items costs O(n) copying in all.
    void append(Value item, Arena& arena);

private:
    static constexpr std::uint64_t pack(Kind kind, std::size_t size) noexcept {
        return static_cast<std::uint64_t>(size) << 8 | static_cast<std::uint8_t>(kind);
    }
    explicit Value(Kind kind, std::size_t size = 0) noexcept : i_(0), meta_(pack(kind, size)) {}
    std::size_t size() const noexcept { return static_cast<std::size_t>(meta_ >> 8); }

    union {
        bool b_;
        std::int64_t i_;
        double d_;
        const char* s_;
        Value* items_;
        const ObjectValue* object_;
    };
    std::uint64_t meta_;  ///< kind in the low byte, length of a string or list above it
};

static_assert(std::is_trivially_copyable_v<Value> && std::is_trivially_destructible_v<Value>);
static_assert(sizeof(Value) == 16);

/// A value tree together with the memory that holds it: the tree is valid
/// exactly as long as this object, and moving it keeps the tree valid.
struct ValueTree {
    Value root;
    Arena arena;
};

}  // namespace kestrix
