// binding/src/read_class.cpp: reading a Python class (dataclass or model) into
// its compiled record: its kind, its element declaration and its fields.
#include "read_class.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "class_lookup.hpp"
#include "compile_choice.hpp"
#include "compile_field.hpp"
#include "compile_substitution.hpp"
#include "errors.hpp"
#include "text.hpp"

namespace kestrix::py {

namespace {

// typing.get_type_hints(cls) as a dict (with strings inside builtin generics
// resolved on Pythons that leave them, see kestrix._hints), or null (error
// cleared) when it cannot be had: unresolved forward references are the usual
// reason.
Ref type_hints(PyObject* cls) {
    Ref hints_module = Ref::steal(PyImport_ImportModule("kestrix._hints"));
    Ref function = hints_module ? attribute(hints_module.get(), "type_hints") : Ref();
    Ref hints =
        function ? Ref::steal(PyObject_CallFunctionObjArgs(function.get(), cls, nullptr)) : Ref();
    if (!hints) PyErr_Clear();
    if (hints && !PyDict_Check(hints.get())) hints.reset();
    return hints;
}

// The field mapping checks its size and keys at every step of the iteration:
// field objects are Python code and may change the mapping under us. Keys are
// compared with a snapshot taken at the start, so a deletion plus an insertion
// that keeps the size is caught as well.
class FieldIterator {
public:
    explicit FieldIterator(PyObject* mapping)
        : mapping_(mapping), keys_(Ref::steal(PyDict_Keys(mapping))) {}

    /// False, with the error set, when the key snapshot could not be taken.
    bool ready() const { return static_cast<bool>(keys_); }

    /// Next key and field as new references; false at the end, or false with
    /// PanicException set when the mapping changed.
    bool next(Ref& key, Ref& field) {
        const Py_ssize_t size = PyList_Size(keys_.get());
        if (PyDict_Size(mapping_) != size) {
            raise_panic("dictionary changed size during iteration");
            return false;
        }
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        if (!PyDict_Next(mapping_, &position_, &k, &v)) return false;
        if (seen_ >= size || PyList_GetItem(keys_.get(), seen_) != k) {
            raise_panic("dictionary keys changed during iteration");
            return false;
        }
        ++seen_;
        key = Ref::borrow(k);
        field = Ref::borrow(v);
        return true;
    }

private:
    PyObject* mapping_;
    Ref keys_;  // holds the keys, so comparing addresses is sound
    Py_ssize_t position_ = 0;
    Py_ssize_t seen_ = 0;
};

// An attribute of a class's declaration that must be a str or None; false
// with TypeError set otherwise.
bool declared_text(PyObject* declaration, const char* attribute_name, const std::string& cls,
                   std::optional<std::string>& out) {
    Ref value = attribute(declaration, attribute_name);
    if (!value) return false;
    if (value.get() == Py_None) return true;
    std::string_view text;
    if (!utf8_of(value.get(), text)) {
        PyErr_Format(PyExc_TypeError, "__kestrix_element__.%s of %s must be a str or None, not %s",
                     attribute_name, cls.c_str(), type_name(value.get()).c_str());
        return false;
    }
    if (!text.empty()) out = std::string(text);
    return true;
}

// Reads the element declaration that kestrix.xml_element stores on a class.
// Only the class's own __dict__ is read: a subclass declares its own element
// or none. False with the error set when the declaration is malformed.
bool read_declaration(PyObject* cls, const std::string& class_name, ClassSchema& schema) {
    Ref dict = attribute_or_null(cls, "__dict__");
    Ref declaration = item_or_null(dict.get(), "__kestrix_element__");
    if (!declaration) return true;
    std::optional<std::string> name;
    if (!declared_text(declaration.get(), "name", class_name, name)) return false;
    if (!declared_text(declaration.get(), "namespace", class_name, schema.ns)) return false;
    schema.element_name = name.value_or(std::string());
    Ref prefixes = attribute(declaration.get(), "prefixes");
    if (!prefixes) return false;
    if (prefixes.get() != Py_None) {
        if (!PyDict_Check(prefixes.get())) {
            PyErr_Format(PyExc_TypeError,
                         "__kestrix_element__.prefixes of %s must be a dict, not %s",
                         class_name.c_str(), type_name(prefixes.get()).c_str());
            return false;
        }
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(prefixes.get(), &position, &key, &value)) {
            std::string_view prefix, uri;
            if (!utf8_of(key, prefix) || !utf8_of(value, uri)) {
                PyErr_Format(PyExc_TypeError,
                             "__kestrix_element__.prefixes of %s must map str prefixes to "
                             "str namespace URIs",
                             class_name.c_str());
                return false;
            }
            schema.prefixes.emplace_back(prefix, uri);
        }
    }
    // The prefix the class's own element is written with (absent in
    // declarations made before it existed): bound to the class's namespace,
    // ahead of the other prefixes.
    if (Ref prefix = attribute_or_null(declaration.get(), "prefix");
        prefix && prefix.get() != Py_None) {
        std::string_view text;
        if (!utf8_of(prefix.get(), text) || text.empty() || !schema.ns) {
            PyErr_Format(PyExc_TypeError,
                         "__kestrix_element__.prefix of %s must be a str beside a namespace",
                         class_name.c_str());
            return false;
        }
        schema.element_prefix = std::string(text);
        const auto bound = std::find_if(schema.prefixes.begin(), schema.prefixes.end(),
                                        [&](const auto& p) { return p.first == text; });
        if (bound != schema.prefixes.end()) schema.prefixes.erase(bound);
        schema.prefixes.emplace(schema.prefixes.begin(), schema.element_prefix, *schema.ns);
    }
    schema.declares_namespaces = schema.ns.has_value() || !schema.prefixes.empty();
    // The type name an xsi:type gives for the class (absent in declarations
    // made before it existed), in the class's namespace.
    if (Ref type_name = attribute_or_null(declaration.get(), "type_name");
        type_name && type_name.get() != Py_None) {
        std::string_view text;
        if (!utf8_of(type_name.get(), text) || text.empty()) {
            PyErr_Format(PyExc_TypeError,
                         "__kestrix_element__.type_name of %s must be a non-empty str",
                         class_name.c_str());
            return false;
        }
        schema.type_name = std::string(text);
        schema.type_ns = schema.ns.value_or(std::string());
    }
    return true;
}

}  // namespace

bool fill_record(PyObject* cls, CompiledClass& record) {
    // Kind: a dataclass has __dataclass_fields__ and no model_fields.
    if (Ref dataclass_fields = attribute(cls, "__dataclass_fields__")) {
        if (Ref model_fields = attribute(cls, "model_fields")) {
            record.is_dataclass = false;
        } else {
            if (!error_is_attribute_error()) return false;
            PyErr_Clear();
            record.is_dataclass = true;
        }
    } else {
        if (!error_is_attribute_error()) return false;
        PyErr_Clear();
        record.is_dataclass = false;
    }

    Ref name = attribute(cls, "__name__");
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        raise_type_mismatch(name.get(), "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (data == nullptr) return false;
    std::string class_name(data, static_cast<std::size_t>(size));
    ClassSchema& schema = *record.schema;
    if (!read_declaration(cls, class_name, schema)) return false;

    // Named before its fields: a choice field of a recursive model names its
    // members by their classes' names while they are being compiled.
    schema.name = class_name;
    Ref hints = type_hints(cls);

    // The field mapping: model_fields first, else __dataclass_fields__.
    bool from_model = true;
    Ref mapping = attribute(cls, "model_fields");
    if (!mapping) {
        if (!error_is_attribute_error()) return false;
        PyErr_Clear();
        from_model = false;
        mapping = attribute(cls, "__dataclass_fields__");
        if (!mapping) {
            if (!error_is_attribute_error()) return false;
            PyErr_Clear();
        }
    }

    std::vector<InitArg> args;
    std::vector<FieldSchema> fields;
    if (mapping) {
        if (!PyDict_Check(mapping.get())) {
            raise_type_mismatch(mapping.get(), "dict");
            return false;
        }
        FieldIterator iterator(mapping.get());
        if (!iterator.ready()) return false;
        Ref key, field;
        while (iterator.next(key, field)) {
            if (!compile_field(key.get(), field.get(), from_model, hints.get(), schema, args,
                               fields)) {
                return false;
            }
        }
        if (PyErr_Occurred() != nullptr) return false;
    }

    if (!check_claimed_names(class_name, fields, args)) return false;
    schema.fields = std::move(fields);
    schema.build_indices();
    record.init_args = std::move(args);
    if (!compile_substitutes(cls, schema)) return false;
    record.positional =
        record.is_dataclass && std::all_of(record.init_args.begin(), record.init_args.end(),
                                           [](const InitArg& a) { return a.init && !a.kw_only; });
    return true;
}

}  // namespace kestrix::py
