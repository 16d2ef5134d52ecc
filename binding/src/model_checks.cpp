// binding/src/model_checks.cpp: ModelWarning checks. The messages and the
// spelling suggestions are made by kestrix._diagnose, which the command line
// shares; this file decides when to ask for them, so the cases that need no
// warning cost nothing more than the test that rules them out.
#include "model_checks.hpp"

#include <algorithm>

#include "compiled_class.hpp"
#include "kestrix/element_facts.hpp"
#include "pyref.hpp"

namespace kestrix::py {

namespace {

/// kestrix._diagnose.`function`(*args). True when it returned; false with its
/// error set when it raised. A package that cannot be imported (the extension
/// used on its own) skips the check.
bool call_diagnose(const char* function, PyObject* args) {
    if (args == nullptr) return false;
    Ref holder = Ref::steal(args);
    Ref module = Ref::steal(PyImport_ImportModule("kestrix._diagnose"));
    if (!module) {
        if (PyErr_ExceptionMatches(PyExc_ImportError) == 0) return false;
        PyErr_Clear();
        return true;
    }
    Ref callable = Ref::steal(PyObject_GetAttrString(module.get(), function));
    if (!callable) return false;
    Ref result = Ref::steal(PyObject_Call(callable.get(), holder.get(), nullptr));
    return static_cast<bool>(result);
}

Ref str_list(const std::vector<std::string>& names) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return list;
    for (const std::string& name : names) {
        Ref item = Ref::steal(
            PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return Ref();
    }
    return list;
}

}  // namespace

bool check_model(PyObject* cls, const CompiledClass& record) {
    // The metadata compilation read is handed over, so the check reads
    // nothing of the class a second time.
    Ref fields = Ref::steal(PyList_New(0));
    if (!fields) return false;
    for (const InitArg& arg : record.init_args) {
        PyObject* metadata = arg.metadata ? arg.metadata.get() : Py_None;
        Ref pair = Ref::steal(Py_BuildValue("(OO)", arg.py_name.get(), metadata));
        if (!pair || PyList_Append(fields.get(), pair.get()) < 0) return false;
    }
    return call_diagnose("check_model", Py_BuildValue("(OO)", cls, fields.get()));
}

bool check_root_bound(const ObjectValue& root, PyObject* cls, std::string_view document,
                      const ReaderOptions& options) {
    if (root.slots.empty() || std::any_of(root.slots.begin(), root.slots.end(),
                                          [](const Value& v) { return !v.is_absent(); })) {
        return true;
    }
    std::optional<ElementFacts> facts = describe_element(document, options, root.offset);
    if (!facts || (facts->attributes.empty() && facts->children.empty())) return true;
    std::vector<std::string> children;
    for (const ChildFacts& child : facts->children) {
        if (std::find(children.begin(), children.end(), child.name) == children.end()) {
            children.push_back(child.name);
        }
    }
    Ref attributes = str_list(facts->attributes);
    Ref child_names = str_list(children);
    if (!attributes || !child_names) return false;
    return call_diagnose("warn_root_unbound",
                         Py_BuildValue("(Os#OO)", cls, facts->name.data(),
                                       static_cast<Py_ssize_t>(facts->name.size()),
                                       attributes.get(), child_names.get()));
}

bool warn_no_records(PyObject* cls, const std::string& tag, const std::vector<std::string>& seen) {
    Ref names = str_list(seen);
    if (!names) return false;
    return call_diagnose(
        "warn_no_records",
        Py_BuildValue("(Os#O)", cls, tag.data(), static_cast<Py_ssize_t>(tag.size()), names.get()));
}

}  // namespace kestrix::py
