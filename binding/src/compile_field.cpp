// binding/src/compile_field.cpp: one field of a class into its FieldSchema and
// InitArg: role, XML name, namespace, value type and scalar converter.
#include "compile_field.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "annotation.hpp"
#include "catch_all.hpp"
#include "class_lookup.hpp"
#include "compile_choice.hpp"
#include "compile_wrapper.hpp"
#include "errors.hpp"
#include "kestrix/namespaces.hpp"
#include "text.hpp"

namespace kestrix::py {

namespace {

// A bool attribute of a dataclass field; `fallback` when it is missing or not
// a bool (such as the marker of an unset option).
bool flag_or(PyObject* field, const char* name, bool fallback) {
    Ref value = attribute_or_null(field, name);
    if (!value || !PyBool_Check(value.get())) return fallback;
    return value.get() == Py_True;
}

FieldRole role_from(PyObject* metadata) {
    Ref type = item_or_null(metadata, "type");
    std::string_view text;
    if (!type || !utf8_of(type.get(), text)) return FieldRole::Element;
    if (text == "Attribute") return FieldRole::Attribute;
    if (text == "Text") return FieldRole::Text;
    if (text == "Wildcard" && mixed_is_true(metadata)) return FieldRole::Text;
    return FieldRole::Element;
}

// The annotation of a field's scalar values: the list's item annotation
// (Optional stripped) for a list of scalars, the field's own for a scalar,
// none otherwise. `stripped` is the field's annotation without Optional.
Ref scalar_annotation(PyObject* stripped, const TypeDesc& type) {
    if (type.is_scalar()) return Ref::borrow(stripped);
    if (!type.is_list() || !type.item().is_scalar()) return {};
    Ref args = attribute_or_null(stripped, "__args__");
    if (!args || !PyTuple_Check(args.get()) || PyTuple_Size(args.get()) == 0) return {};
    return strip_optional(PyTuple_GetItem(args.get(), 0));
}

// The "namespace" metadata of a field: a str, or absent (None or missing).
// False with TypeError set for anything else.
bool field_namespace(PyObject* metadata, std::string_view name, std::optional<std::string>& out) {
    Ref given = item_or_null(metadata, "namespace");
    if (!given || given.get() == Py_None) return true;
    std::string_view text;
    if (!utf8_of(given.get(), text)) {
        PyErr_Format(PyExc_TypeError,
                     "the \"namespace\" metadata of field '%s' must be a str (a namespace URI), "
                     "not %s",
                     std::string(name).c_str(), type_name(given.get()).c_str());
        return false;
    }
    out = std::string(text);
    return true;
}

}  // namespace

// "mixed" counts when it is a bool, or a NumPy boolean (type named bool_, or
// bool in NumPy 2), and true.
bool mixed_is_true(PyObject* metadata) {
    Ref mixed = item_or_null(metadata, "mixed");
    if (!mixed) return false;
    if (PyBool_Check(mixed.get())) return mixed.get() == Py_True;
    Ref type_name =
        attribute_or_null(reinterpret_cast<PyObject*>(Py_TYPE(mixed.get())), "__name__");
    std::string_view name;
    if (!type_name || !utf8_of(type_name.get(), name) || (name != "bool_" && name != "bool")) {
        return false;
    }
    int truth = PyObject_IsTrue(mixed.get());
    if (truth < 0) PyErr_Clear();
    return truth > 0;
}

// Chooses the converter of a field's scalar values. Enum values are read as
// written, edge whitespace included (their conversion tries the value as
// written before the trimmed one), so an enum kept as Other becomes Str for
// the reader. False with the error set on failure.
bool choose_field_converter(PyObject* stripped, TypeDesc& type, Converter& out) {
    Ref annotation = scalar_annotation(stripped, type);
    if (!choose_converter(annotation.get(), out)) return false;
    if (out.conversion == Conversion::QName) {
        // Read through the namespace declarations in scope, by the core.
        if (type.is_scalar()) {
            type = TypeDesc::scalar(ScalarKind::QName);
        } else if (type.is_list()) {
            type = TypeDesc::list(TypeDesc::scalar(ScalarKind::QName));
        }
        return true;
    }
    if (!out.is_enum) return true;
    if (type.is_scalar() && type.scalar_kind() == ScalarKind::Other) {
        type = TypeDesc::scalar(ScalarKind::Str);
    } else if (type.is_list() && type.item().scalar_kind() == ScalarKind::Other) {
        type = TypeDesc::list(TypeDesc::scalar(ScalarKind::Str));
    }
    return true;
}

// The namespace rule of a field (see NsRule): its "namespace" metadata, else
// the prefix of its XML name when `xml`, `xsi` or one of the class's own
// prefixes, else, for an element holding a class that declares a namespace,
// that namespace. A prefix the class does not bind matches in any namespace.
void resolve_namespace(const ClassSchema& owner, FieldSchema& field,
                       const std::optional<std::string>& declared) {
    if (declared) {
        field.ns_rule = NsRule::Fixed;
        field.ns = *declared;
        return;
    }
    const std::size_t colon = field.xml_name.find(':');
    if (colon != std::string::npos) {
        const std::string_view prefix = std::string_view(field.xml_name).substr(0, colon);
        field.ns_rule = NsRule::AnyPrefix;
        if (prefix == "xml") {
            field.ns = XML_NAMESPACE;
        } else if (auto it = std::find_if(owner.prefixes.begin(), owner.prefixes.end(),
                                          [&](const auto& p) { return p.first == prefix; });
                   it != owner.prefixes.end()) {
            field.ns = it->second;
        } else if (prefix == "xsi") {
            field.ns = XSI_NAMESPACE;
        } else {
            return;
        }
        field.ns_rule = NsRule::Fixed;
        return;
    }
    if (field.role != FieldRole::Element) return;
    const TypeDesc* type = &field.type;
    if (type->is_list()) type = &type->item();
    if (type->is_nested() && type->schema().ns) {
        field.ns_rule = NsRule::Fixed;
        field.ns = *type->schema().ns;
    }
}

namespace {

// A flag of the metadata ("nillable", "cdata"): true when present and true.
bool metadata_flag(PyObject* metadata, const char* key) {
    Ref value = item_or_null(metadata, key);
    if (!value) return false;
    const int truth = PyObject_IsTrue(value.get());
    if (truth < 0) PyErr_Clear();
    return truth > 0;
}

}  // namespace

bool compile_field(PyObject* key, PyObject* field, bool from_model, PyObject* hints,
                   ClassSchema& owner, std::vector<InitArg>& args,
                   std::vector<FieldSchema>& fields) {
    std::string_view name;
    if (!PyUnicode_Check(key)) {
        raise_type_mismatch(key, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (data == nullptr) return false;
    name = std::string_view(data, static_cast<std::size_t>(size));
    PyObject* interned = PyUnicode_FromStringAndSize(data, size);
    if (interned == nullptr) return false;
    PyUnicode_InternInPlace(&interned);
    InitArg arg;
    arg.py_name = Ref::steal(interned);

    Ref metadata;
    if (from_model) {
        metadata = attribute_or_null(field, "ferrun_metadata");
        if (!metadata) metadata = attribute_or_null(field, "json_schema_extra");
    } else {
        metadata = attribute_or_null(field, "metadata");
    }
    FieldRole role = role_from(metadata.get());
    arg.metadata = metadata;
    std::string xml_name(name);
    bool named = false;
    if (Ref given = item_or_null(metadata.get(), "name")) {
        std::string_view text;
        if (utf8_of(given.get(), text)) {
            xml_name = text;
            named = true;
        }
    }
    std::optional<std::string> declared_ns;
    if (!field_namespace(metadata.get(), name, declared_ns)) return false;
    if (declared_ns) owner.declares_namespaces = true;
    if (!from_model) {
        arg.init = flag_or(field, "init", true);
        arg.kw_only = flag_or(field, "kw_only", false);
    }

    Ref annotation;
    if (hints != nullptr) {
        PyObject* hint = PyDict_GetItemWithError(hints, arg.py_name.get());
        if (hint != nullptr) {
            annotation = Ref::borrow(hint);
        } else {
            PyErr_Clear();
        }
    }
    if (!annotation) {
        annotation = attribute(field, from_model ? "annotation" : "type");
        if (!annotation) return false;
    }

    arg.annotation = strip_optional(annotation.get());
    std::optional<FieldSchema> choice;
    const FieldSource source{name, metadata.get(), annotation.get(), role, named, declared_ns};
    switch (compile_catch_all(source, choice)) {
        case CatchAllOutcome::Failed:
            return false;
        case CatchAllOutcome::Compiled:
            args.push_back(std::move(arg));
            fields.push_back(std::move(*choice));
            return true;
        case CatchAllOutcome::NotCatchAll:
            break;
    }
    switch (compile_choice(owner, source, arg, choice)) {
        case ChoiceOutcome::Failed:
            return false;
        case ChoiceOutcome::Compiled:
            if (Ref wrapper = item_or_null(metadata.get(), "wrapper");
                wrapper && wrapper.get() != Py_None &&
                !wrap_list(owner, *choice, wrapper.get(), declared_ns)) {
                return false;
            }
            args.push_back(std::move(arg));
            fields.push_back(std::move(*choice));
            return true;
        case ChoiceOutcome::NotChoice:
            break;
    }
    std::optional<TypeDesc> type = analyse_annotation(annotation.get());
    if (!type) return false;
    if (!choose_field_converter(arg.annotation.get(), *type, arg.convert)) return false;
    FieldSchema compiled{std::string(name), std::move(xml_name), std::move(*type), role};
    resolve_namespace(owner, compiled, declared_ns);
    if (metadata_flag(metadata.get(), "nillable")) {
        // A nil element reads back as None only for scalars: a class element
        // marked nil is read as an instance, which would not be what was written.
        const TypeDesc& value = compiled.type.is_list() ? compiled.type.item() : compiled.type;
        if (role != FieldRole::Element || !value.is_scalar()) {
            PyErr_Format(PyExc_TypeError,
                         "field '%s' cannot be nillable: \"nillable\" applies to child elements "
                         "holding a scalar or a list of scalars",
                         compiled.name.c_str());
            return false;
        }
        compiled.nillable = true;
    }
    compiled.cdata = role != FieldRole::Attribute && metadata_flag(metadata.get(), "cdata");
    if (Ref wrapper = item_or_null(metadata.get(), "wrapper");
        wrapper && wrapper.get() != Py_None &&
        !wrap_list(owner, compiled, wrapper.get(), declared_ns)) {
        return false;
    }
    args.push_back(std::move(arg));
    fields.push_back(std::move(compiled));
    return true;
}

}  // namespace kestrix::py
