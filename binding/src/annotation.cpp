// binding/src/annotation.cpp: union test, member scan, strip_optional and the
// analysis of an annotation into a TypeDesc.
#include "annotation.hpp"

#include <string_view>

#include "compiled_class.hpp"
#include "errors.hpp"
#include "text.hpp"

namespace kestrix::py {

namespace {

// Union wrappers are flat in practice (typing flattens them); the bound only
// stops an annotation object that keeps producing new unions from looping.
constexpr int kMaxUnionUnwrap = 256;

// The str `__name__` of `obj`, kept alive by `holder`; false (error cleared)
// when it is missing or not a str.
bool name_of(PyObject* obj, Ref& holder, std::string_view& name) {
    holder = Ref::steal(PyObject_GetAttrString(obj, "__name__"));
    if (!holder) {
        PyErr_Clear();
        return false;
    }
    return utf8_of(holder.get(), name);
}

ScalarKind scalar_kind_named(std::string_view name) {
    struct Entry {
        std::string_view name;
        ScalarKind kind;
    };
    static constexpr Entry kKinds[] = {
        {"str", ScalarKind::Str},
        {"int", ScalarKind::Int},
        {"float", ScalarKind::Float},
        {"bool", ScalarKind::Bool},
        {"Decimal", ScalarKind::Decimal},
        {"XmlDate", ScalarKind::XmlDate},
        {"XmlDateTime", ScalarKind::XmlDateTime},
        {"XmlTime", ScalarKind::XmlTime},
        {"XmlDuration", ScalarKind::XmlDuration},
    };
    for (const Entry& e : kKinds) {
        if (e.name == name) return e.kind;
    }
    return ScalarKind::Other;
}

// Fetches `__dataclass_fields__`, else `model_fields`, of `annotation`. Sets
// `found` when either exists. False with the error set when a lookup fails
// with anything but AttributeError.
bool has_field_mapping(PyObject* annotation, bool& found) {
    found = false;
    for (const char* attribute : {"__dataclass_fields__", "model_fields"}) {
        Ref fields = Ref::steal(PyObject_GetAttrString(annotation, attribute));
        if (fields) {
            found = true;
            return true;
        }
        if (!error_is_attribute_error()) return false;
        PyErr_Clear();
    }
    return true;
}

std::optional<TypeDesc> analyse(PyObject* annotation) {
    // Optional[X], X | None, Union[X, Y]: the chosen member decides.
    if (Ref member = union_member(annotation)) return analyse_annotation(member.get());

    // list[X], List[X], bare List.
    Ref origin = Ref::steal(PyObject_GetAttrString(annotation, "__origin__"));
    if (!origin) {
        PyErr_Clear();
    } else {
        Ref holder;
        std::string_view name;
        if (name_of(origin.get(), holder, name) && (name == "list" || name == "List")) {
            Ref args = Ref::steal(PyObject_GetAttrString(annotation, "__args__"));
            if (!args) {
                PyErr_Clear();
                return TypeDesc::list(TypeDesc::scalar(ScalarKind::Str));
            }
            if (!PyTuple_Check(args.get())) {
                raise_type_mismatch(args.get(), "tuple");
                return std::nullopt;
            }
            if (PyTuple_Size(args.get()) == 0) {
                return TypeDesc::list(TypeDesc::scalar(ScalarKind::Str));
            }
            std::optional<TypeDesc> item = analyse_annotation(PyTuple_GetItem(args.get(), 0));
            if (!item) return std::nullopt;
            return TypeDesc::list(std::move(*item));
        }
    }

    // A model class or dataclass (the class itself, not an instance of it).
    bool mapped = false;
    if (!has_field_mapping(annotation, mapped)) return std::nullopt;
    if (mapped && PyType_Check(annotation)) {
        const CompiledClass* nested = compile_nested_class(annotation);
        if (nested == nullptr) return std::nullopt;
        return TypeDesc::nested(nested->schema);
    }

    // Scalars by the name of the (unwrapped) annotation.
    Ref stripped = strip_optional(annotation);
    Ref holder;
    std::string_view name;
    ScalarKind kind =
        name_of(stripped.get(), holder, name) ? scalar_kind_named(name) : ScalarKind::Other;
    return TypeDesc::scalar(kind);
}

}  // namespace

bool is_union(PyObject* annotation) {
    Ref holder;
    std::string_view name;
    Ref origin = Ref::steal(PyObject_GetAttrString(annotation, "__origin__"));
    if (origin) {
        return name_of(origin.get(), holder, name) && (name == "Union" || name == "UnionType");
    }
    PyErr_Clear();
    return name_of(reinterpret_cast<PyObject*>(Py_TYPE(annotation)), holder, name) &&
           name == "UnionType";
}

Ref union_member(PyObject* annotation) {
    if (!is_union(annotation)) return {};
    Ref args = Ref::steal(PyObject_GetAttrString(annotation, "__args__"));
    if (!args) {
        PyErr_Clear();
        return {};
    }
    if (!PyTuple_Check(args.get())) return {};
    Py_ssize_t count = PyTuple_Size(args.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* member = PyTuple_GetItem(args.get(), i);
        Ref holder;
        std::string_view name;
        if (name_of(member, holder, name) && name == "NoneType") continue;
        return Ref::borrow(member);
    }
    return {};
}

Ref strip_optional(PyObject* annotation) {
    Ref current = Ref::borrow(annotation);
    for (int i = 0; i < kMaxUnionUnwrap; ++i) {
        Ref member = union_member(current.get());
        if (!member) break;
        current = std::move(member);
    }
    return current;
}

bool is_model_class(PyObject* annotation) {
    bool mapped = false;
    if (!has_field_mapping(annotation, mapped)) {
        PyErr_Clear();
        return false;
    }
    return mapped && PyType_Check(annotation);
}

std::vector<Ref> non_none_members(PyObject* annotation) {
    std::vector<Ref> members;
    Ref args =
        is_union(annotation) ? Ref::steal(PyObject_GetAttrString(annotation, "__args__")) : Ref();
    if (!args || !PyTuple_Check(args.get())) {
        PyErr_Clear();
        members.push_back(Ref::borrow(annotation));
        return members;
    }
    for (Py_ssize_t i = 0; i < PyTuple_Size(args.get()); ++i) {
        PyObject* member = PyTuple_GetItem(args.get(), i);
        Ref holder;
        std::string_view name;
        if (name_of(member, holder, name) && name == "NoneType") continue;
        members.push_back(Ref::borrow(member));
    }
    return members;
}

Ref list_item_annotation(PyObject* annotation) {
    Ref origin = Ref::steal(PyObject_GetAttrString(annotation, "__origin__"));
    Ref holder;
    std::string_view name;
    if (!origin || !name_of(origin.get(), holder, name) || (name != "list" && name != "List")) {
        PyErr_Clear();
        return {};
    }
    Ref args = Ref::steal(PyObject_GetAttrString(annotation, "__args__"));
    if (!args || !PyTuple_Check(args.get()) || PyTuple_Size(args.get()) == 0) {
        PyErr_Clear();
        return {};
    }
    return Ref::borrow(PyTuple_GetItem(args.get(), 0));
}

std::optional<TypeDesc> analyse_annotation(PyObject* annotation) {
    // Nested unions and lists recurse; an absurdly deep annotation raises
    // RecursionError instead of exhausting the C stack.
    if (Py_EnterRecursiveCall(" while analysing a type annotation") != 0) return std::nullopt;
    std::optional<TypeDesc> result = analyse(annotation);
    Py_LeaveRecursiveCall();
    return result;
}

}  // namespace kestrix::py
