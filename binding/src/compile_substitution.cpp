// binding/src/compile_substitution.cpp: the subclasses of a class that declare a
// type name, found and compiled once with the class.
#include "compile_substitution.hpp"

#include <string>
#include <string_view>
#include <vector>

#include "class_lookup.hpp"
#include "compiled_class.hpp"
#include "text.hpp"

namespace kestrix::py {

namespace {

// The type name and namespace `sub` declares in its own __kestrix_element__;
// false when it declares none.
bool declared_type(PyObject* sub, std::string& ns, std::string& name) {
    Ref dict = attribute_or_null(sub, "__dict__");
    Ref declaration = item_or_null(dict.get(), "__kestrix_element__");
    if (!declaration) return false;
    Ref type_name = attribute_or_null(declaration.get(), "type_name");
    std::string_view text;
    if (!type_name || !utf8_of(type_name.get(), text) || text.empty()) return false;
    name = std::string(text);
    ns.clear();
    Ref uri = attribute_or_null(declaration.get(), "namespace");
    if (uri && utf8_of(uri.get(), text)) ns = std::string(text);
    return true;
}

// Every subclass of `cls` at any depth, each once, parents before children.
bool descendants(PyObject* cls, std::vector<Ref>& out) {
    std::vector<Ref> pending{Ref::borrow(cls)};
    for (std::size_t next = 0; next < pending.size(); ++next) {
        Ref method = attribute_or_null(pending[next].get(), "__subclasses__");
        if (!method) continue;
        Ref subs = Ref::steal(PyObject_CallNoArgs(method.get()));
        if (!subs) return false;
        if (!PyList_Check(subs.get())) continue;
        for (Py_ssize_t i = 0; i < PyList_Size(subs.get()); ++i) {
            PyObject* sub = PyList_GetItem(subs.get(), i);
            bool seen = false;
            for (const Ref& known : pending) seen = seen || known.get() == sub;
            if (!seen) pending.push_back(Ref::borrow(sub));
        }
    }
    pending.erase(pending.begin());
    out = std::move(pending);
    return true;
}

}  // namespace

bool compile_substitutes(PyObject* cls, ClassSchema& schema) {
    std::vector<Ref> subs;
    if (!descendants(cls, subs)) return false;
    for (const Ref& sub : subs) {
        std::string ns, name;
        if (!declared_type(sub.get(), ns, name)) continue;
        const bool taken = (schema.type_name == name && schema.type_ns == ns) ||
                           find_type(schema, ns, name) != nullptr;
        if (taken) {
            PyErr_Format(PyExc_TypeError,
                         "the type name '%s'%s%s is declared twice among %s and its subclasses",
                         name.c_str(), ns.empty() ? "" : " in namespace ", ns.c_str(),
                         schema.name.c_str());
            return false;
        }
        const CompiledClass* compiled = compile_nested_class(sub.get());
        if (compiled == nullptr) return false;
        schema.substitutes.push_back(
            Substitute{std::move(ns), std::move(name), TypeDesc::nested(compiled->schema)});
    }
    return true;
}

}  // namespace kestrix::py
