// binding/src/element_notes.cpp: positions and element contents for the notes
// of failures met while building objects. Only failures pay for them: the tree
// keeps each element's start-tag offset, and the rest is read again here.
#include "element_notes.hpp"

#include <string>
#include <vector>

#include "compiled_class.hpp"
#include "errors.hpp"
#include "kestrix/element_facts.hpp"
#include "pyref.hpp"

namespace kestrix::py {

namespace {

thread_local const DocumentScope* t_document = nullptr;

/// Names listed in a note before the rest is summed up.
constexpr std::size_t NAMES_LISTED = 10;

/// The element behind `obj`, looked up again in the held document.
std::optional<ElementFacts> facts_of(const ObjectValue& obj) {
    const DocumentScope* scope = t_document;
    if (scope == nullptr || scope->document.empty()) return std::nullopt;
    return describe_element(scope->document, scope->options, obj.offset);
}

std::optional<ErrorLocation> start_of(const ObjectValue& obj,
                                      const std::optional<ElementFacts>& facts) {
    if (facts) return facts->at;
    if (obj.line == 0) return std::nullopt;
    ErrorLocation at;
    at.line = obj.line;
    at.column = obj.column;
    return at;
}

std::string at_text(const ErrorLocation& at) {
    return "at line " + std::to_string(at.line) + ", column " + std::to_string(at.column);
}

void note_start_tag(const ObjectValue& obj, const std::optional<ElementFacts>& facts) {
    const std::optional<ErrorLocation> at = start_of(obj, facts);
    if (!at) return;
    std::string note = at_text(*at) + " (start tag of ";
    note += facts ? "<" + facts->name + ">" : "the element";
    note += ")";
    add_note(note.c_str());
}

/// True when the constructor of `compiled` needs a value for field `name`:
/// a dataclass field with neither default nor default factory, or a model
/// field whose is_required() says so. False (error cleared) when unsure.
bool is_required(const CompiledClass& compiled, PyObject* name) {
    PyObject* cls = compiled.cls.get();
    Ref fields = Ref::steal(PyObject_GetAttrString(
        cls, compiled.is_dataclass ? "__dataclass_fields__" : "model_fields"));
    Ref field = fields && PyDict_Check(fields.get())
                    ? Ref::borrow(PyDict_GetItemWithError(fields.get(), name))
                    : Ref();
    bool required = false;
    if (field && compiled.is_dataclass) {
        Ref module = Ref::steal(PyImport_ImportModule("dataclasses"));
        Ref missing = module ? Ref::steal(PyObject_GetAttrString(module.get(), "MISSING")) : Ref();
        Ref value = Ref::steal(PyObject_GetAttrString(field.get(), "default"));
        Ref factory = Ref::steal(PyObject_GetAttrString(field.get(), "default_factory"));
        Ref init = Ref::steal(PyObject_GetAttrString(field.get(), "init"));
        required = missing && value.get() == missing.get() && factory.get() == missing.get() &&
                   init && PyObject_IsTrue(init.get()) == 1;
    } else if (field) {
        Ref answer = Ref::steal(PyObject_CallMethod(field.get(), "is_required", nullptr));
        required = answer && PyObject_IsTrue(answer.get()) == 1;
    }
    PyErr_Clear();
    return required;
}

std::string listed(const std::vector<std::string>& names, bool brackets) {
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < NAMES_LISTED; ++i) {
        if (i > 0) text += ", ";
        text += brackets ? "<" + names[i] + ">" : names[i];
    }
    if (names.size() > NAMES_LISTED) {
        text += " and " + std::to_string(names.size() - NAMES_LISTED) + " more";
    }
    return text;
}

/// "it has attributes a, b and child elements <c>, <d>" for `facts`.
std::string contents_of(const ElementFacts& facts) {
    std::vector<std::string> children;
    for (const ChildFacts& child : facts.children) {
        bool seen = false;
        for (const std::string& name : children) seen = seen || name == child.name;
        if (!seen) children.push_back(child.name);
    }
    std::string text = "<" + facts.name + "> has ";
    if (facts.attributes.empty() && children.empty())
        return text + "no attributes and no child elements";
    text += facts.attributes.empty() ? "no attributes"
                                     : "attributes " + listed(facts.attributes, false);
    text += children.empty() ? " and no child elements"
                             : " and child elements " + listed(children, true);
    return text;
}

}  // namespace

DocumentScope::DocumentScope(std::string_view doc, const ReaderOptions& opts) noexcept
    : outer_(t_document), document(doc), options(opts) {
    t_document = this;
}

DocumentScope::~DocumentScope() { t_document = outer_; }

void note_construction_failure(const ObjectValue& obj, const CompiledClass* compiled) {
    if (obj.schema == nullptr) return;
    const ClassSchema& schema = *obj.schema;
    const std::optional<ElementFacts> facts = facts_of(obj);
    // The exception is set aside while the class's fields are inspected.
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    std::vector<std::string> notes;
    for (std::size_t i = 0; compiled != nullptr && i < schema.fields.size(); ++i) {
        const FieldSchema& field = schema.fields[i];
        if (!obj.slots[i].is_absent() || field.role == FieldRole::Text) continue;
        if (i >= compiled->init_args.size() ||
            !is_required(*compiled, compiled->init_args[i].py_name.get())) {
            continue;
        }
        std::string note = "required field '" + field.name + "' of " + schema.name + ": no ";
        note += field.role == FieldRole::Attribute ? "attribute " + field.xml_name
                                                   : "element <" + field.xml_name + ">";
        note += " was found";
        if (facts) note += "; " + contents_of(*facts);
        notes.push_back(std::move(note));
    }
    PyErr_Restore(type, value, tb);
    for (const std::string& note : notes) add_note(note.c_str());
    note_start_tag(obj, facts);
}

void note_value_position(const ObjectValue& owner, std::size_t field,
                         std::optional<std::size_t> item) {
    if (owner.schema == nullptr || field >= owner.schema->fields.size()) return;
    const FieldSchema& schema_field = owner.schema->fields[field];
    std::optional<ElementFacts> facts = facts_of(owner);
    std::optional<ErrorLocation> at = start_of(owner, facts);
    if (facts && schema_field.role == FieldRole::Element) {
        // The value's own element: the item's occurrence of the field's name,
        // or the last one (a later element replaces an earlier one).
        const std::string_view wanted = schema_field.local();
        std::size_t seen = 0;
        for (const ChildFacts& child : facts->children) {
            if (local_name(child.name) != wanted) continue;
            if (!item || seen == *item) at = child.at;
            if (item && seen == *item) break;
            ++seen;
        }
    }
    if (!at) return;
    // A stream keeps no copy of the document: an element value's own tag is
    // not known there, only the start tag of the element that holds it.
    std::string note = at_text(*at);
    if (!facts && schema_field.role == FieldRole::Element)
        note += " (start tag of the element holding it)";
    add_note(note.c_str());
}

}  // namespace kestrix::py
