// core/src/model/catch_all.cpp: the fixed schemas of generic nodes.
#include "kestrix/catch_all.hpp"

#include <initializer_list>
#include <string>

namespace kestrix::node {

namespace {

ClassSchema make(const char* name, std::initializer_list<const char*> slots) {
    ClassSchema schema;
    schema.name = name;
    for (const char* slot : slots) {
        schema.fields.push_back(
            FieldSchema{slot, slot, TypeDesc::scalar(ScalarKind::Str), FieldRole::Element});
    }
    return schema;
}

}  // namespace

const ClassSchema& element_schema() noexcept {
    static const ClassSchema schema =
        make("Element", {"tag", "attributes", "text", "children", "tail", "namespaces"});
    return schema;
}

const ClassSchema& comment_schema() noexcept {
    static const ClassSchema schema = make("Comment", {"text", "tail"});
    return schema;
}

const ClassSchema& instruction_schema() noexcept {
    static const ClassSchema schema = make("ProcessingInstruction", {"target", "text", "tail"});
    return schema;
}

const ClassSchema& attributes_schema() noexcept {
    static const ClassSchema schema = make("attributes", {"pairs"});
    return schema;
}

}  // namespace kestrix::node
