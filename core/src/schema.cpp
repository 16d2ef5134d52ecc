// core/src/schema.cpp: the name indices of a class schema.
#include "kestrix/schema.hpp"

#include "kestrix/namespaces.hpp"

namespace kestrix {

namespace {

void index_name(NameIndex& index, const std::string& xml_name, std::size_t position) {
    index.insert_or_assign(xml_name, position);
    auto colon = xml_name.find(':');
    if (colon != std::string::npos) index.insert_or_assign(xml_name.substr(colon + 1), position);
}

}  // namespace

void ClassSchema::build_indices() {
    element_index.clear();
    attribute_index.clear();
    text_field.reset();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        FieldSchema& f = fields[i];
        const auto colon = f.xml_name.find(':');
        f.local_at = colon == std::string::npos ? 0 : static_cast<std::uint32_t>(colon + 1);
        switch (f.role) {
            case FieldRole::Element:
                index_name(element_index, f.xml_name, i);
                break;
            case FieldRole::Attribute:
                index_name(attribute_index, f.xml_name, i);
                break;
            case FieldRole::Text:
                text_field = i;
                break;
        }
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        FieldSchema& f = fields[i];
        if (f.role == FieldRole::Text) continue;
        const NameIndex& index = f.role == FieldRole::Element ? element_index : attribute_index;
        const auto wins = [&](std::string_view key) { return index.find(key)->second == i; };
        f.last_of_its_names = wins(f.xml_name) && (f.local_at == 0 || wins(f.local()));
    }
}

bool ClassSchema::namespace_aware() const noexcept {
    return namespaces != nullptr && namespaces->used;
}

}  // namespace kestrix
