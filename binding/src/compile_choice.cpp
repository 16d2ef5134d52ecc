// binding/src/compile_choice.cpp: choice fields (element unions by name, with
// scalar members named in "choices", and ordered mixed content) into their
// FieldSchema members and MemberArgs.
#include "compile_choice.hpp"

#include <utility>

#include "annotation.hpp"
#include "catch_all.hpp"
#include "class_lookup.hpp"
#include "compile_field.hpp"
#include "errors.hpp"
#include "text.hpp"

namespace kestrix::py {

namespace {

// The __name__ of a member type, for messages.
std::string member_type_name(PyObject* cls) {
    Ref name = attribute_or_null(cls, "__name__");
    std::string_view text;
    if (name && utf8_of(name.get(), text)) return std::string(text);
    return type_name(cls);
}

// The list item annotation of a field (Optional removed), or null when the
// field is not a list.
Ref list_item(PyObject* annotation) {
    std::vector<Ref> members = non_none_members(annotation);
    if (members.size() != 1) return {};
    return list_item_annotation(members[0].get());
}

// A member of `source` named `xml_name` holding `annotation` (a model class or
// a scalar type). False with the error set on failure.
bool add_member(const ClassSchema& owner, const FieldSource& source, std::string xml_name,
                PyObject* annotation, FieldSchema& field, InitArg& arg) {
    std::optional<TypeDesc> type = analyse_annotation(annotation);
    if (!type) return false;
    if (!type->is_scalar() && !type->is_nested()) {
        PyErr_Format(PyExc_TypeError,
                     "member '%s' of choice field '%s' must be a model class or a scalar type",
                     xml_name.c_str(), std::string(source.name).c_str());
        return false;
    }
    MemberArg member_arg;
    Ref stripped = strip_optional(annotation);
    member_arg.cls = stripped;
    if (!choose_field_converter(stripped.get(), *type, member_arg.convert)) return false;
    if (xml_name.empty()) xml_name = type->schema().root_name();
    FieldSchema member{std::string(source.name), std::move(xml_name), std::move(*type),
                       FieldRole::Element};
    resolve_namespace(owner, member, source.declared_ns);
    field.choices.push_back(std::move(member));
    arg.members.push_back(std::move(member_arg));
    return true;
}

// The member that takes the text runs of mixed content: str items.
void add_text_member(const FieldSource& source, FieldSchema& field, InitArg& arg) {
    FieldSchema member{std::string(source.name), std::string(), TypeDesc::scalar(ScalarKind::Str),
                       FieldRole::Text};
    field.choices.push_back(std::move(member));
    MemberArg member_arg;
    member_arg.cls = Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    arg.members.push_back(std::move(member_arg));
}

// The member that takes the child elements no other member or field takes:
// kestrix.Element items.
void add_any_member(const FieldSource& source, PyObject* element, FieldSchema& field,
                    InitArg& arg) {
    FieldSchema member{std::string(source.name), std::string(), TypeDesc::scalar(ScalarKind::Other),
                       FieldRole::AnyElements};
    field.choices.push_back(std::move(member));
    MemberArg member_arg;
    member_arg.cls = Ref::borrow(element);
    arg.members.push_back(std::move(member_arg));
}

bool is_str_type(PyObject* annotation) {
    return annotation == reinterpret_cast<PyObject*>(&PyUnicode_Type);
}

// A member type given by name in "choices" (a forward reference): the member
// of the field's annotation of that __name__, else the str itself.
Ref resolve_named(PyObject* given, const std::vector<Ref>& annotated) {
    std::string_view wanted;
    if (!utf8_of(given, wanted)) return Ref::borrow(given);
    for (const Ref& member : annotated) {
        Ref name = attribute_or_null(member.get(), "__name__");
        std::string_view text;
        if (name && utf8_of(name.get(), text) && text == wanted) return member;
    }
    return Ref::borrow(given);
}

// Members from a "choices" mapping: element name to member type (or the name
// of a class of the field's annotation).
bool members_from_mapping(const ClassSchema& owner, const FieldSource& source, PyObject* choices,
                          const std::vector<Ref>& annotated, FieldSchema& field, InitArg& arg) {
    if (!PyDict_Check(choices) || PyDict_Size(choices) == 0) {
        PyErr_Format(PyExc_TypeError,
                     "the \"choices\" metadata of field '%s' must be a non-empty dict of "
                     "element names to types",
                     std::string(source.name).c_str());
        return false;
    }
    // A snapshot of the items, since compiling a member runs Python code.
    Ref items = Ref::steal(PyDict_Items(choices));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
        PyObject* pair = PyList_GetItem(items.get(), i);
        std::string_view name;
        if (!utf8_of(PyTuple_GetItem(pair, 0), name) || name.empty()) {
            PyErr_Format(PyExc_TypeError,
                         "the \"choices\" metadata of field '%s' must have non-empty str keys",
                         std::string(source.name).c_str());
            return false;
        }
        Ref type = resolve_named(PyTuple_GetItem(pair, 1), annotated);
        if (PyUnicode_Check(type.get())) {
            PyErr_Format(PyExc_TypeError,
                         "member '%s' of choice field '%s' names a class that the field's "
                         "annotation does not hold",
                         std::string(name).c_str(), std::string(source.name).c_str());
            return false;
        }
        if (!add_member(owner, source, std::string(name), type.get(), field, arg)) {
            return false;
        }
    }
    return true;
}

}  // namespace

ChoiceOutcome compile_choice(ClassSchema& owner, const FieldSource& source, InitArg& arg,
                             std::optional<FieldSchema>& out) {
    if (source.role != FieldRole::Element) return ChoiceOutcome::NotChoice;
    Ref choices = item_or_null(source.metadata, "choices");
    const bool mixed = mixed_is_true(source.metadata);
    Ref item = list_item(source.annotation);
    std::vector<Ref> members = non_none_members(item ? item.get() : source.annotation);
    bool classes_only = members.size() >= 2;
    bool has_str = false;
    PyObject* element = nullptr;  // kestrix.Element among the members: a catch-all member
    for (const Ref& member : members) {
        if (is_str_type(member.get())) {
            has_str = true;
        } else if (is_element_class(member.get())) {
            element = member.get();
        } else if (!is_model_class(member.get())) {
            classes_only = false;
        }
    }
    if (PyErr_Occurred() != nullptr) return ChoiceOutcome::Failed;
    if (has_str) classes_only = false;
    const bool mixed_choice = mixed && item && has_str;
    if (!choices && !mixed_choice && (source.named || !classes_only)) {
        return ChoiceOutcome::NotChoice;
    }
    if (mixed && !item) {
        PyErr_Format(PyExc_TypeError, "the mixed field '%s' must be a list (of str and classes)",
                     std::string(source.name).c_str());
        return ChoiceOutcome::Failed;
    }

    FieldSchema field{std::string(source.name), std::string(source.name),
                      item ? TypeDesc::list(TypeDesc::choice()) : TypeDesc::choice(),
                      FieldRole::Choice};
    // The text member comes first, so that writing gives str items to it.
    if (mixed) add_text_member(source, field, arg);
    if (choices) {
        if (!members_from_mapping(owner, source, choices.get(), members, field, arg)) {
            return ChoiceOutcome::Failed;
        }
        if (element != nullptr) add_any_member(source, element, field, arg);
    } else {
        for (const Ref& member : members) {
            if (mixed && is_str_type(member.get())) continue;
            if (member.get() == element) {
                add_any_member(source, element, field, arg);
                continue;
            }
            if (!is_model_class(member.get())) {
                PyErr_Format(PyExc_TypeError,
                             "member %s of the mixed field '%s' has no element name: name it in "
                             "the field's \"choices\"",
                             member_type_name(member.get()).c_str(),
                             std::string(source.name).c_str());
                return ChoiceOutcome::Failed;
            }
            if (!add_member(owner, source, std::string(), member.get(), field, arg)) {
                return ChoiceOutcome::Failed;
            }
        }
    }
    out.emplace(std::move(field));
    return ChoiceOutcome::Compiled;
}

namespace {

struct Claim {
    const FieldSchema* name;  // the field or member whose element name is claimed
    std::string by;           // who claims it, for the message
};

std::string local_of(const FieldSchema& f) {
    const std::size_t colon = f.xml_name.find(':');
    return colon == std::string::npos ? f.xml_name : f.xml_name.substr(colon + 1);
}

}  // namespace

bool check_claimed_names(const std::string& class_name, std::span<const FieldSchema> fields,
                         std::span<const InitArg> args) {
    std::vector<Claim> claims;
    std::vector<bool> is_member;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const FieldSchema& field = fields[i];
        if (field.type.is_nested() && field.type.schema().list_wrapper && i < args.size() &&
            !check_claimed_names(class_name, field.type.schema().fields, args.subspan(i, 1))) {
            return false;
        }
        if (field.role == FieldRole::Element) {
            claims.push_back({&field, "field '" + field.name + "'"});
            is_member.push_back(false);
        } else if (field.role == FieldRole::Choice) {
            for (std::size_t m = 0; m < field.choices.size(); ++m) {
                if (field.choices[m].role != FieldRole::Element) continue;
                const PyObject* cls = i < args.size() && m < args[i].members.size()
                                          ? args[i].members[m].cls.get()
                                          : nullptr;
                std::string type = cls != nullptr ? member_type_name(const_cast<PyObject*>(cls))
                                                  : std::string("?");
                claims.push_back(
                    {&field.choices[m], "member " + type + " of field '" + field.name + "'"});
                is_member.push_back(true);
            }
        }
    }
    // local_at is not set before build_indices: compare local parts directly.
    for (std::size_t a = 0; a < claims.size(); ++a) {
        for (std::size_t b = a + 1; b < claims.size(); ++b) {
            if (!is_member[a] && !is_member[b]) continue;
            const FieldSchema& x = *claims[a].name;
            const FieldSchema& y = *claims[b].name;
            if (local_of(x) != local_of(y)) continue;
            if (x.ns_rule == NsRule::Fixed && y.ns_rule == NsRule::Fixed && x.ns != y.ns) continue;
            PyErr_Format(
                PyExc_TypeError, "the element name '%s' of %s is claimed twice: by %s and by %s",
                x.xml_name.c_str(), class_name.c_str(), claims[a].by.c_str(), claims[b].by.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace kestrix::py
