// core/src/model/value.cpp: objects and growing lists of the value tree.
#include "kestrix/value.hpp"

#include <cstring>
#include <new>

#include "kestrix/schema.hpp"

namespace kestrix {

namespace {

/// Items a list has room for before its first growth: lists in documents are
/// mostly short.
constexpr std::size_t FIRST_ROOM = 4;

Value* absent_values(std::size_t count, Arena& arena) {
    auto* values = static_cast<Value*>(arena.allocate(count * sizeof(Value)));
    for (std::size_t i = 0; i < count; ++i) new (values + i) Value();
    return values;
}

}  // namespace

ObjectValue* ObjectValue::make(const ClassSchema& schema, Arena& arena) {
    auto* object = new (arena.allocate(sizeof(ObjectValue))) ObjectValue();
    object->schema = &schema;
    const std::size_t count = schema.fields.size();
    object->slots = std::span<Value>(count == 0 ? nullptr : absent_values(count, arena), count);
    return object;
}

void Value::append(Value item, Arena& arena) {
    if (kind() != Kind::List) *this = list(nullptr, 0);
    const std::size_t count = size();
    // The room is implied by the count: FIRST_ROOM until it is full, then the
    // next power of two, so a full list is one whose count is such a power.
    if (count == 0 || (count >= FIRST_ROOM && (count & (count - 1)) == 0)) {
        const std::size_t room = count == 0 ? FIRST_ROOM : count * 2;
        auto* grown = static_cast<Value*>(arena.allocate(room * sizeof(Value)));
        if (count != 0) std::memcpy(static_cast<void*>(grown), items_, count * sizeof(Value));
        items_ = grown;
    }
    items_[count] = item;
    meta_ = pack(Kind::List, count + 1);
}

}  // namespace kestrix
