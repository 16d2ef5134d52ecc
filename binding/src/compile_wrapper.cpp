// binding/src/compile_wrapper.cpp: the "wrapper" metadata of a list field, which
// puts the items inside one element of the given name without a class for it.
#include "compile_wrapper.hpp"

#include <memory>
#include <string_view>
#include <utility>

#include "compile_field.hpp"
#include "errors.hpp"
#include "text.hpp"

namespace kestrix::py {

bool wrap_list(const ClassSchema& owner, FieldSchema& field, PyObject* wrapper,
               const std::optional<std::string>& declared_ns) {
    std::string_view name;
    if (!utf8_of(wrapper, name) || name.empty()) {
        PyErr_Format(PyExc_TypeError,
                     "the \"wrapper\" metadata of field '%s' must be a non-empty str (the "
                     "wrapper element's name), not %s",
                     field.name.c_str(), type_name(wrapper).c_str());
        return false;
    }
    // A list of scalars or classes, or a list choice field (whose members
    // then stand inside the wrapper in list order).
    const bool items_fit = field.type.is_list() &&
                           (field.role == FieldRole::Choice ||
                            (field.role == FieldRole::Element &&
                             (field.type.item().is_scalar() || field.type.item().is_nested())));
    if (!items_fit) {
        PyErr_Format(
            PyExc_TypeError,
            "field '%s' has a \"wrapper\" but is no list of scalars, model classes or choices",
            field.name.c_str());
        return false;
    }
    // The made-up class: named after the field for messages, never a root.
    auto schema = std::make_shared<ClassSchema>();
    schema->name = owner.name + "." + field.name;
    schema->element_name = std::string(name);
    schema->list_wrapper = true;
    FieldSchema outer{field.name, std::string(name), TypeDesc::nested(schema), FieldRole::Element};
    resolve_namespace(owner, outer, declared_ns);
    schema->fields.push_back(std::move(field));
    schema->build_indices();
    field = std::move(outer);
    return true;
}

}  // namespace kestrix::py
