// core/src/bind/catch_all_builder.hpp: builds the generic nodes of a subtree
// that a catch-all field receives, event by event.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/arena.hpp"
#include "kestrix/catch_all.hpp"
#include "kestrix/value.hpp"

namespace kestrix::detail {

/// Gathers one caught element and everything inside it into generic nodes
/// (see catch_all.hpp). Text is buffered and placed at the next event: as
/// the text of the open element before its first child, else as the tail of
/// its last child.
class CatchAllBuilder {
public:
    /// Open elements of the subtree being built (0: none).
    std::size_t depth() const noexcept { return open_.size(); }

    /// Opens an element named `tag` inside the open one (or as the top).
    void open(std::string_view tag, Arena& arena) {
        place_text(arena);
        ObjectValue* element = ObjectValue::make(node::element_schema(), arena);
        element->slots[node::TAG] = Value::string(arena.copy(tag));
        if (!open_.empty()) {
            open_.back()->slots[node::CHILDREN].append(Value::object(element), arena);
        }
        open_.push_back(element);
    }
    /// Adds an attribute to the element just opened.
    void attribute(std::string_view name, std::string_view value, Arena& arena) {
        Value& pairs = open_.back()->slots[node::ATTRIBUTES];
        pairs.append(Value::string(arena.copy(name)), arena);
        pairs.append(Value::string(arena.copy(value)), arena);
    }
    /// Adds a namespace declaration to the element just opened.
    void declare(std::string_view prefix, std::string_view uri, Arena& arena) {
        Value& pairs = open_.back()->slots[node::NAMESPACES];
        pairs.append(Value::string(arena.copy(prefix)), arena);
        pairs.append(Value::string(arena.copy(uri)), arena);
    }
    void text(const char* text, std::size_t length) { text_.append(text, length); }
    void comment(std::string_view text, Arena& arena) {
        ObjectValue* node = child(node::comment_schema(), arena);
        node->slots[node::COMMENT_TEXT] = Value::string(arena.copy(text));
    }
    void instruction(std::string_view target, std::string_view text, Arena& arena) {
        ObjectValue* node = child(node::instruction_schema(), arena);
        node->slots[node::PI_TARGET] = Value::string(arena.copy(target));
        node->slots[node::PI_TEXT] = Value::string(arena.copy(text));
    }
    /// Closes the innermost open element; returns it when it was the top.
    Value close(Arena& arena) {
        place_text(arena);
        const ObjectValue* element = open_.back();
        open_.pop_back();
        return open_.empty() ? Value::object(element) : Value();
    }
    void reset() noexcept {
        open_.clear();
        text_.clear();
    }

private:
    ObjectValue* child(const ClassSchema& schema, Arena& arena) {
        place_text(arena);
        ObjectValue* node = ObjectValue::make(schema, arena);
        open_.back()->slots[node::CHILDREN].append(Value::object(node), arena);
        return node;
    }
    void place_text(Arena& arena) {
        if (text_.empty() || open_.empty()) {
            text_.clear();
            return;
        }
        ObjectValue& parent = *open_.back();
        const ValueList children = node::list_of(parent, node::CHILDREN);
        Value* slot = &parent.slots[node::TEXT];
        if (!children.empty()) {
            const ObjectValue& last = children.back().as_object();
            slot = &last.slots[last.schema == &node::element_schema() ? std::size_t{node::TAIL}
                               : last.schema == &node::comment_schema()
                                   ? std::size_t{node::COMMENT_TAIL}
                                   : std::size_t{node::PI_TAIL}];
        }
        *slot = Value::string(arena.copy(text_));
        text_.clear();
    }

    std::vector<ObjectValue*> open_;
    std::string text_;
};

}  // namespace kestrix::detail
