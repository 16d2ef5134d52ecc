// binding/src/schema_description.cpp: _schema_description(cls), a private
// debugging aid that shows what a class compiles to as plain Python data.
#include <string>

#include "compiled_class.hpp"
#include "entry_points.hpp"

namespace kestrix::py {

namespace {

const char* scalar_name(ScalarKind kind) {
    switch (kind) {
        case ScalarKind::Str:
            return "Str";
        case ScalarKind::Int:
            return "Int";
        case ScalarKind::Float:
            return "Float";
        case ScalarKind::Bool:
            return "Bool";
        case ScalarKind::Decimal:
            return "Decimal";
        case ScalarKind::XmlDate:
            return "XmlDate";
        case ScalarKind::XmlDateTime:
            return "XmlDateTime";
        case ScalarKind::XmlTime:
            return "XmlTime";
        case ScalarKind::XmlDuration:
            return "XmlDuration";
        case ScalarKind::QName:
            return "QName";
        case ScalarKind::Other:
            return "Other";
    }
    return "Other";
}

// "Plain", "Decimal", "IsoDate", ...; "Enum" for an enum whose text finds no
// member otherwise, "Enum+Decimal" for an enum bearing one of the names.
std::string conversion_name(const Converter& c) {
    const char* names[] = {"Plain",   "Decimal", "IsoDate",     "IsoTime",     "IsoDateTime",
                           "XmlDate", "XmlTime", "XmlDateTime", "XmlDuration", "QName"};
    std::string name = names[static_cast<int>(c.conversion)];
    if (!c.is_enum) return name;
    return c.conversion == Conversion::Plain ? "Enum" : "Enum+" + name;
}

const char* role_name(FieldRole role) {
    switch (role) {
        case FieldRole::Attribute:
            return "Attribute";
        case FieldRole::Element:
            return "Element";
        case FieldRole::Text:
            return "Text";
        case FieldRole::Choice:
            return "Choice";
        case FieldRole::AnyElements:
            return "AnyElements";
        case FieldRole::AnyAttributes:
            return "AnyAttributes";
    }
    return "Element";
}

Ref text(const std::string& s) {
    return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

// Sets dict[key] = value; false with an error set when value is null or the
// insertion fails.
bool put(PyObject* dict, const char* key, const Ref& value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// "Int"; ["List", item]; ["Nested", class name, id of the nested record]. A
// nested class is named, not expanded: recursive models would never end.
Ref describe_type(const TypeDesc& type) {
    switch (type.kind()) {
        case TypeDesc::Kind::Scalar:
            return Ref::steal(PyUnicode_FromString(scalar_name(type.scalar_kind())));
        case TypeDesc::Kind::List: {
            Ref item = describe_type(type.item());
            if (!item) return {};
            return Ref::steal(Py_BuildValue("[sO]", "List", item.get()));
        }
        case TypeDesc::Kind::Choice:
            return Ref::steal(PyUnicode_FromString("Choice"));
        case TypeDesc::Kind::Nested: {
            Ref name = text(type.schema().name);
            Ref id = Ref::steal(
                PyLong_FromVoidPtr(const_cast<CompiledClass*>(compiled_of(type.schema()))));
            if (!name || !id) return {};
            return Ref::steal(Py_BuildValue("[sOO]", "Nested", name.get(), id.get()));
        }
    }
    return {};
}

Ref describe_index(const NameIndex& index) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return {};
    for (const auto& [name, position] : index) {
        Ref key = text(name);
        Ref value = Ref::steal(PyLong_FromSize_t(position));
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return {};
    }
    return dict;
}

Ref describe_field(const FieldSchema& field, const InitArg& arg) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return {};
    if (!put(dict.get(), "name", text(field.name)) ||
        !put(dict.get(), "xml_name", text(field.xml_name)) ||
        !put(dict.get(), "role", Ref::steal(PyUnicode_FromString(role_name(field.role)))) ||
        !put(dict.get(), "type", describe_type(field.type)) ||
        !put(dict.get(), "init", Ref::steal(PyBool_FromLong(arg.init))) ||
        !put(dict.get(), "kw_only", Ref::steal(PyBool_FromLong(arg.kw_only))) ||
        !put(dict.get(), "annotation", arg.annotation) ||
        !put(dict.get(), "conversion", text(conversion_name(arg.convert)))) {
        return {};
    }
    return dict;
}

}  // namespace

const char kSchemaDescriptionDoc[] =
    "_schema_description(cls)\n--\n\n"
    "Private debugging aid, not part of the public interface: compiles cls (or\n"
    "takes it from the cache) and returns its schema as plain data: a dict with\n"
    "'id' (identity of the compiled record), 'cls', 'name', 'is_dataclass',\n"
    "'text_field' (position or None), 'element_index' and 'attribute_index'\n"
    "(name -> position), and 'fields', one dict per field with 'name',\n"
    "'xml_name', 'role' ('Attribute', 'Element' or 'Text'), 'type', 'init',\n"
    "'kw_only', 'annotation' (the annotation without Optional) and 'conversion'\n"
    "(how its scalar values, or a list's items, are converted). A type is a\n"
    "scalar kind such as 'Int', ['List', item] or ['Nested', name, id]; nested\n"
    "classes are named, not expanded, so recursive models stay finite.";

PyObject* schema_description(PyObject*, PyObject* cls) {
    const CompiledClass* compiled = compile_class(cls);
    if (compiled == nullptr) return nullptr;
    const ClassSchema& schema = *compiled->schema;

    Ref fields = Ref::steal(PyList_New(0));
    if (!fields) return nullptr;
    for (std::size_t i = 0; i < schema.fields.size(); ++i) {
        Ref field = describe_field(schema.fields[i], compiled->init_args[i]);
        if (!field || PyList_Append(fields.get(), field.get()) < 0) return nullptr;
    }
    Ref text_field = schema.text_field ? Ref::steal(PyLong_FromSize_t(*schema.text_field))
                                       : Ref::borrow(Py_None);

    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    if (!put(dict.get(), "id",
             Ref::steal(PyLong_FromVoidPtr(const_cast<CompiledClass*>(compiled)))) ||
        !put(dict.get(), "cls", compiled->cls) || !put(dict.get(), "name", text(schema.name)) ||
        !put(dict.get(), "is_dataclass", Ref::steal(PyBool_FromLong(compiled->is_dataclass))) ||
        !put(dict.get(), "text_field", text_field) || !put(dict.get(), "fields", fields) ||
        !put(dict.get(), "element_index", describe_index(schema.element_index)) ||
        !put(dict.get(), "attribute_index", describe_index(schema.attribute_index))) {
        return nullptr;
    }
    return dict.release();
}

}  // namespace kestrix::py
