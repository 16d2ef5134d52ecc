// core/src/value.cpp: entry access of object values.
#include "kestrix/value.hpp"

#include "kestrix/schema.hpp"

namespace kestrix {

ObjectValue::ObjectValue(const ClassSchema* s) : schema(s), slots(s->fields.size()) {}

const Value* ObjectValue::find(std::string_view field_name) const {
    if (schema == nullptr) return nullptr;
    for (std::size_t i = 0; i < slots.size() && i < schema->fields.size(); ++i) {
        if (schema->fields[i].name == field_name && !slots[i].is_absent()) return &slots[i];
    }
    return nullptr;
}

std::size_t ObjectValue::size() const {
    std::size_t n = 0;
    for (const Value& v : slots) n += v.is_absent() ? 0 : 1;
    return n;
}

}  // namespace kestrix
