// binding/src/catch_all.cpp: catch-all fields: compiling them, and generic
// nodes (kestrix.Element, Comment, ProcessingInstruction) to and from values.
#include "catch_all.hpp"

#include <string>
#include <string_view>

#include "annotation.hpp"
#include "class_lookup.hpp"
#include "errors.hpp"
#include "kestrix/catch_all.hpp"
#include "kestrix/error.hpp"
#include "pyref.hpp"
#include "text.hpp"

namespace kestrix::py {

namespace {

// The node classes of kestrix.nodes, imported once and kept for the process.
struct NodeClasses {
    PyObject* element = nullptr;
    PyObject* comment = nullptr;
    PyObject* instruction = nullptr;
};

const NodeClasses* node_classes() {
    static NodeClasses classes;
    if (classes.instruction != nullptr) return &classes;
    Ref module = Ref::steal(PyImport_ImportModule("kestrix.nodes"));
    if (!module) return nullptr;
    PyObject** slots[] = {&classes.element, &classes.comment, &classes.instruction};
    const char* names[] = {"Element", "Comment", "ProcessingInstruction"};
    for (int i = 0; i < 3; ++i) {
        if (*slots[i] != nullptr) continue;
        *slots[i] = PyObject_GetAttrString(module.get(), names[i]);
        if (*slots[i] == nullptr) return nullptr;
    }
    return &classes;
}

// True when the metadata says "any_attributes" (present and true).
bool wants_any_attributes(PyObject* metadata) {
    Ref value = item_or_null(metadata, "any_attributes");
    if (!value) return false;
    const int truth = PyObject_IsTrue(value.get());
    if (truth < 0) PyErr_Clear();
    return truth > 0;
}

// True when `annotation` is dict or dict[...] / Dict[...].
bool is_dict_annotation(PyObject* annotation) {
    if (annotation == reinterpret_cast<PyObject*>(&PyDict_Type)) return true;
    Ref origin = attribute_or_null(annotation, "__origin__");
    return origin && origin.get() == reinterpret_cast<PyObject*>(&PyDict_Type);
}

PyObject* text_object(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

// The dict of name/value pairs `pairs`.
PyObject* pairs_dict(ValueList pairs) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
        if (pairs[i].kind() != Value::Kind::Str || pairs[i + 1].kind() != Value::Kind::Str) {
            return raise_panic("caught attributes that are not text reached object building");
        }
        Ref key = Ref::steal(text_object(pairs[i].as_str()));
        Ref value = key ? Ref::steal(text_object(pairs[i + 1].as_str())) : Ref();
        if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

// The str attribute `name` of `v` stored as text in `out`. False with an error set.
bool store_text_attribute(PyObject* v, const char* name, Arena& arena, Value& out) {
    Ref text = attribute(v, name);
    if (!text) return false;
    if (!PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "the %s of a %s must be a str, not %s", name,
                     type_name(v).c_str(), type_name(text.get()).c_str());
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) return false;
    if (size > 0) {
        out = Value::string(arena.copy(std::string_view(data, static_cast<std::size_t>(size))));
    }
    return true;
}

// A dict of str to str as name/value pairs in `out`.
bool store_pairs(PyObject* dict, const char* what, Arena& arena, Value& out) {
    if (!PyDict_Check(dict)) {
        PyErr_Format(PyExc_TypeError, "%s must be a dict of str to str, not %s", what,
                     type_name(dict).c_str());
        return false;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Value pairs;
    while (PyDict_Next(dict, &position, &key, &value)) {
        for (PyObject* text : {key, value}) {
            if (!PyUnicode_Check(text)) {
                PyErr_Format(PyExc_TypeError, "%s must be a dict of str to str, not hold a %s",
                             what, type_name(text).c_str());
                return false;
            }
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(text, &size);
            if (data == nullptr) return false;
            pairs.append(
                Value::string(arena.copy(std::string_view(data, static_cast<std::size_t>(size)))),
                arena);
        }
    }
    out = pairs;
    return true;
}

}  // namespace

bool is_element_class(PyObject* annotation) {
    const NodeClasses* classes = node_classes();
    if (classes == nullptr) return false;
    return annotation == classes->element;
}

CatchAllOutcome compile_catch_all(const FieldSource& source, std::optional<FieldSchema>& out) {
    const std::string name(source.name);
    if (wants_any_attributes(source.metadata)) {
        Ref stripped = strip_optional(source.annotation);
        if (!is_dict_annotation(stripped.get())) {
            PyErr_Format(PyExc_TypeError,
                         "the catch-all attribute field '%s' must be annotated dict[str, str]",
                         name.c_str());
            return CatchAllOutcome::Failed;
        }
        out.emplace(
            FieldSchema{name, name, TypeDesc::scalar(ScalarKind::Other), FieldRole::AnyAttributes});
        return CatchAllOutcome::Compiled;
    }
    Ref stripped = strip_optional(source.annotation);
    Ref item = list_item_annotation(stripped.get());
    const bool single = is_element_class(stripped.get());
    const bool listed = item && is_element_class(item.get());
    if (PyErr_Occurred() != nullptr) return CatchAllOutcome::Failed;
    if (!single && !listed) return CatchAllOutcome::NotCatchAll;
    if (single || source.named || source.role != FieldRole::Element) {
        PyErr_Format(PyExc_TypeError,
                     "field '%s' holds kestrix.Element: a catch-all field is annotated "
                     "list[kestrix.Element], names no element and is no attribute or text",
                     name.c_str());
        return CatchAllOutcome::Failed;
    }
    out.emplace(FieldSchema{name, name, TypeDesc::list(TypeDesc::scalar(ScalarKind::Other)),
                            FieldRole::AnyElements});
    return CatchAllOutcome::Compiled;
}

PyObject* build_generic(const ObjectValue& object) {
    const NodeClasses* classes = node_classes();
    if (classes == nullptr) return nullptr;
    const ClassSchema* schema = object.schema;
    if (schema == &node::attributes_schema()) {
        return pairs_dict(node::list_of(object, node::PAIRS));
    }
    if (schema == &node::comment_schema()) {
        Ref text = Ref::steal(text_object(node::text_of(object, node::COMMENT_TEXT)));
        Ref tail =
            text ? Ref::steal(text_object(node::text_of(object, node::COMMENT_TAIL))) : Ref();
        if (!tail) return nullptr;
        return PyObject_CallFunctionObjArgs(classes->comment, text.get(), tail.get(), nullptr);
    }
    if (schema == &node::instruction_schema()) {
        Ref target = Ref::steal(text_object(node::text_of(object, node::PI_TARGET)));
        Ref text = target ? Ref::steal(text_object(node::text_of(object, node::PI_TEXT))) : Ref();
        Ref tail = text ? Ref::steal(text_object(node::text_of(object, node::PI_TAIL))) : Ref();
        if (!tail) return nullptr;
        return PyObject_CallFunctionObjArgs(classes->instruction, target.get(), text.get(),
                                            tail.get(), nullptr);
    }
    if (schema != &node::element_schema()) {
        return raise_panic("an object of no known kind reached object building");
    }
    Ref tag = Ref::steal(text_object(node::text_of(object, node::TAG)));
    if (!tag) return nullptr;
    Ref attributes = Ref::steal(pairs_dict(node::list_of(object, node::ATTRIBUTES)));
    if (!attributes) return nullptr;
    Ref text = Ref::steal(text_object(node::text_of(object, node::TEXT)));
    if (!text) return nullptr;
    const ValueList items = node::list_of(object, node::CHILDREN);
    Ref children = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!children) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i].kind() != Value::Kind::Object) {
            return raise_panic("a child that is no node reached object building");
        }
        PyObject* child = build_generic(items[i].as_object());
        if (child == nullptr) return nullptr;
        PyList_SetItem(children.get(), static_cast<Py_ssize_t>(i), child);
    }
    Ref tail = Ref::steal(text_object(node::text_of(object, node::TAIL)));
    if (!tail) return nullptr;
    Ref namespaces = Ref::steal(pairs_dict(node::list_of(object, node::NAMESPACES)));
    if (!namespaces) return nullptr;
    return PyObject_CallFunctionObjArgs(classes->element, tag.get(), attributes.get(), text.get(),
                                        children.get(), tail.get(), namespaces.get(), nullptr);
}

bool store_node(PyObject* v, Arena& arena, Value& out, std::uint64_t depth) {
    const NodeClasses* classes = node_classes();
    if (classes == nullptr) return false;
    if (depth >= MAX_DEPTH) {
        raise_bind_error(BindError::depth_exceeded(MAX_DEPTH, depth + 1));
        return false;
    }
    const auto is = [v](PyObject* cls) { return PyObject_IsInstance(v, cls); };
    int kind = is(classes->element);
    if (kind > 0) {
        ObjectValue* element = ObjectValue::make(node::element_schema(), arena);
        if (!store_text_attribute(v, "tag", arena, element->slots[node::TAG])) return false;
        Ref attributes = attribute(v, "attributes");
        if (!attributes ||
            !store_pairs(attributes.get(), "an Element's attributes", arena,
                         element->slots[node::ATTRIBUTES]) ||
            !store_text_attribute(v, "text", arena, element->slots[node::TEXT]) ||
            !store_text_attribute(v, "tail", arena, element->slots[node::TAIL])) {
            return false;
        }
        Ref namespaces = attribute(v, "namespaces");
        if (!namespaces || !store_pairs(namespaces.get(), "an Element's namespaces", arena,
                                        element->slots[node::NAMESPACES])) {
            return false;
        }
        Ref children = attribute(v, "children");
        if (!children) return false;
        if (!PyList_Check(children.get())) {
            PyErr_Format(PyExc_TypeError, "an Element's children must be a list, not %s",
                         type_name(children.get()).c_str());
            return false;
        }
        Value items;
        // Child code cannot run here, but the bound is re-read all the same.
        for (Py_ssize_t i = 0; i < PyList_Size(children.get()); ++i) {
            Value child;
            if (!store_node(PyList_GetItem(children.get(), i), arena, child, depth + 1)) {
                return false;
            }
            items.append(child, arena);
        }
        element->slots[node::CHILDREN] = items;
        out = Value::object(element);
        return true;
    }
    if (kind == 0) kind = is(classes->comment) > 0 ? 2 : is(classes->instruction) > 0 ? 3 : 0;
    if (kind < 0 || PyErr_Occurred() != nullptr) return false;
    if (kind == 2) {
        ObjectValue* comment = ObjectValue::make(node::comment_schema(), arena);
        if (!store_text_attribute(v, "text", arena, comment->slots[node::COMMENT_TEXT]) ||
            !store_text_attribute(v, "tail", arena, comment->slots[node::COMMENT_TAIL])) {
            return false;
        }
        out = Value::object(comment);
        return true;
    }
    if (kind == 3) {
        ObjectValue* instruction = ObjectValue::make(node::instruction_schema(), arena);
        if (!store_text_attribute(v, "target", arena, instruction->slots[node::PI_TARGET]) ||
            !store_text_attribute(v, "text", arena, instruction->slots[node::PI_TEXT]) ||
            !store_text_attribute(v, "tail", arena, instruction->slots[node::PI_TAIL])) {
            return false;
        }
        out = Value::object(instruction);
        return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "a %s is no kestrix.Element, Comment or ProcessingInstruction: a catch-all "
                 "field holds only those",
                 type_name(v).c_str());
    return false;
}

bool store_catch_all(PyObject* v, FieldRole role, Arena& arena, Value& out,
                     std::optional<std::size_t>& failed_item) {
    if (role == FieldRole::AnyAttributes) {
        ObjectValue* caught = ObjectValue::make(node::attributes_schema(), arena);
        if (!store_pairs(v, "a catch-all attribute field", arena, caught->slots[node::PAIRS])) {
            return false;
        }
        out = Value::object(caught);
        return true;
    }
    if (!PyList_Check(v)) {
        PyErr_Format(PyExc_TypeError, "a catch-all field must hold a list, not %s",
                     type_name(v).c_str());
        return false;
    }
    Value items;
    for (Py_ssize_t i = 0; i < PyList_Size(v); ++i) {
        PyObject* item = PyList_GetItem(v, i);
        Value node = Value::null();
        if (item != Py_None && !store_node(item, arena, node)) {
            failed_item = static_cast<std::size_t>(i);
            return false;
        }
        items.append(node, arena);
    }
    // An empty list still counts as given (as other list fields do).
    out = items.is_absent() ? Value::list(nullptr, 0) : items;
    return true;
}

}  // namespace kestrix::py
