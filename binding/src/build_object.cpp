// binding/src/build_object.cpp: value tree to Python objects; instances are
// built positionally when a dataclass allows it, else by keyword.
#include "build_object.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "catch_all.hpp"
#include "compile_wrapper.hpp"
#include "compiled_class.hpp"
#include "convert_scalar.hpp"
#include "element_notes.hpp"
#include "errors.hpp"
#include "kestrix/catch_all.hpp"
#include "pyref.hpp"
#include "text.hpp"

namespace kestrix::py {
namespace {

// A fixed number of new references, gathered before the tuple or list that
// receives them is created (so no half-filled container is ever visible to
// Python code running meanwhile), and released together unless handed on.
class RefArray {
public:
    explicit RefArray(std::size_t size) : size_(size) {
        if (size > kInline) heap_.resize(size);
        data_ = size > kInline ? heap_.data() : inline_;
        std::fill(data_, data_ + size, nullptr);
    }
    ~RefArray() {
        for (std::size_t i = 0; i < size_; ++i) Py_XDECREF(data_[i]);
    }
    RefArray(const RefArray&) = delete;
    RefArray& operator=(const RefArray&) = delete;

    PyObject*& operator[](std::size_t i) { return data_[i]; }

    /// Moves the references into a new tuple. Null with an error set on failure.
    PyObject* into_tuple() { return into(PyTuple_New, PyTuple_SetItem); }
    /// Moves the references into a new list. Null with an error set on failure.
    PyObject* into_list() { return into(PyList_New, PyList_SetItem); }

private:
    // Fills a new sequence made by `make`, each `set` taking over one reference.
    PyObject* into(PyObject* (*make)(Py_ssize_t), int (*set)(PyObject*, Py_ssize_t, PyObject*)) {
        PyObject* sequence = make(static_cast<Py_ssize_t>(size_));
        if (sequence == nullptr) return nullptr;
        for (std::size_t i = 0; i < size_; ++i) {
            set(sequence, static_cast<Py_ssize_t>(i), std::exchange(data_[i], nullptr));
        }
        return sequence;
    }

    static constexpr std::size_t kInline = 16;
    std::size_t size_;
    PyObject** data_;
    PyObject* inline_[kInline];
    std::vector<PyObject*> heap_;
};

// The entry of field `i` in `obj`, or null when there is none. Every object
// is laid out by the schema it is built with (build_instance checks it): the
// parser fills a frame of the very schema the field's type names, and the
// entry points build under the schema they parsed with.
const Value* entry_of(const ObjectValue& obj, std::size_t i) {
    const Value& value = obj.slots[i];
    return value.is_absent() ? nullptr : &value;
}

// True when `obj` has an entry for every field.
bool has_every_field(const ObjectValue& obj) {
    return std::none_of(obj.slots.begin(), obj.slots.end(),
                        [](const Value& v) { return v.is_absent(); });
}

// The class to construct for values of a nested field type (null when none).
PyObject* class_of(const TypeDesc& type) {
    if (!type.is_nested()) return nullptr;
    const CompiledClass* compiled = compiled_of(type.schema());
    return compiled != nullptr ? compiled->cls.get() : nullptr;
}

const Converter* converter_of(const CompiledClass* compiled, std::size_t i) {
    if (compiled == nullptr || i >= compiled->init_args.size()) return nullptr;
    return &compiled->init_args[i].convert;
}

PyObject* build_list(const ValueList& items, const TypeDesc& type, const Converter* convert,
                     std::size_t* failed_item) {
    if (!type.is_list()) return PyList_New(0);
    const TypeDesc& item = type.item();
    PyObject* item_class = class_of(item);
    RefArray built(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        built[i] = build_object(items[i], item, item_class, convert);
        if (built[i] == nullptr) {
            *failed_item = i;
            return ensure_error();
        }
    }
    return built.into_list();
}

// The Python value of one item of a choice field: its member's class built
// from it, or its scalar converted as the member says.
PyObject* build_choice_item(const Value& item, const FieldSchema& field,
                            const std::vector<MemberArg>* members) {
    std::size_t position = 0;
    Value value;
    if (!read_choice_item(item, position, value) || position >= field.choices.size()) {
        return raise_panic("a value that is no choice item reached a choice field");
    }
    const FieldSchema& member = field.choices[position];
    const Converter* convert =
        members != nullptr && position < members->size() ? &(*members)[position].convert : nullptr;
    return build_object(value, member.type, class_of(member.type), convert);
}

// The Python value of a choice field: one item, or the list of them.
PyObject* build_choices(const Value& value, const FieldSchema& field,
                        const std::vector<MemberArg>* members, std::size_t* failed_item) {
    if (field.type.is_choice()) return build_choice_item(value, field, members);
    const ValueList items = value.as_list();
    RefArray built(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        built[i] = build_choice_item(items[i], field, members);
        if (built[i] == nullptr) {
            *failed_item = i;
            return ensure_error();
        }
    }
    return built.into_list();
}

// The members of choice field `i` of `schema`, or null when it has no record.
const std::vector<MemberArg>* members_of(const ClassSchema& schema, std::size_t i) {
    const CompiledClass* compiled = compiled_of(schema);
    return compiled != nullptr && i < compiled->init_args.size() ? &compiled->init_args[i].members
                                                                 : nullptr;
}

// The Python list of wrapped list field `i` of `schema`, whose value is the
// wrapper element's object: the items of its one field, [] for an empty
// wrapper. Notes a failure as build_field does, the item counted inside the
// wrapper.
[[gnu::noinline]] PyObject* build_wrapped(const Value& value, const ClassSchema& schema,
                                          std::size_t i, const Converter* convert) {
    const FieldSchema& field = schema.fields[i];
    const ClassSchema& wrapper = field.type.schema();
    if (value.kind() != Value::Kind::Object || value.as_object().schema != &wrapper ||
        value.as_object().slots.size() != 1) {
        return raise_panic("a value that is no wrapper element reached a wrapped list");
    }
    const ObjectValue& object = value.as_object();
    const Value& items = object.slots[0];
    if (items.kind() != Value::Kind::List) return PyList_New(0);
    const FieldSchema& inner = wrapped_field(wrapper);
    std::size_t failed = 0;
    PyObject* built = inner.role == FieldRole::Choice
                          ? build_choices(items, inner, members_of(schema, i), &failed)
                          : build_list(items.as_list(), inner.type, convert, &failed);
    if (built == nullptr) {
        ensure_error();
        const ValueList list = items.as_list();
        if (failed < list.size() && list[failed].kind() != Value::Kind::Object) {
            note_value_position(object, 0, failed);
        }
        add_field_note("binding", field.name, schema.name, failed);
    }
    return built;
}

// The Python value of field `i` of `owner`, whose schema is `schema`. A
// failure gains a note naming the field, its class and, inside a list, the
// item; a failing scalar conversion also one saying where the value stands
// (an object that fails notes its own place).
PyObject* build_field(const Value& value, const ObjectValue& owner, const ClassSchema& schema,
                      std::size_t i, const Converter* convert) {
    const FieldSchema& field = schema.fields[i];
    PyObject* built = nullptr;
    std::optional<std::size_t> item;
    const Value* failed_value = &value;
    if (value.kind() == Value::Kind::List) {
        std::size_t failed = 0;
        if (field.role == FieldRole::Choice) {
            built = build_choices(value, field, members_of(schema, i), &failed);
        } else {
            built = build_list(value.as_list(), field.type, convert, &failed);
        }
        if (built == nullptr && field.type.is_list()) {
            item = failed;
            if (failed < value.as_list().size()) failed_value = &value.as_list()[failed];
        }
    } else if (field.type.is_nested() && field.type.schema().list_wrapper) [[unlikely]] {
        return build_wrapped(value, schema, i, convert);
    } else {
        built = build_object(value, field.type, class_of(field.type), convert);
    }
    if (built == nullptr) {
        ensure_error();
        if (failed_value->kind() != Value::Kind::Object) note_value_position(owner, i, item);
        add_field_note("binding", field.name, schema.name, item);
    }
    return built;
}

// A dict of the object's entries, keyed by field name, with untyped values.
PyObject* build_dict(const ObjectValue& obj) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || obj.schema == nullptr) return dict.release();
    const auto& fields = obj.schema->fields;
    for (std::size_t i = 0; i < obj.slots.size() && i < fields.size(); ++i) {
        if (obj.slots[i].is_absent()) continue;
        const std::string& name = fields[i].name;
        Ref key = Ref::steal(
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!key) return nullptr;
        Ref item = Ref::steal(build_object(obj.slots[i], untyped_descriptor(), nullptr, nullptr));
        if (!item) return ensure_error();
        if (PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return nullptr;
    }
    return dict.release();
}

// Calls `cls` with every field value as a positional argument, in field order.
// Requires an entry for every field (build_instance checks it). On a failing conversion returns
// null with the exception set; when the call itself raises, clears the exception, sets
// `call_failed` and returns null.
PyObject* build_positional(const ObjectValue& obj, const ClassSchema& schema,
                           const CompiledClass& compiled, PyObject* cls, bool* call_failed) {
    const std::size_t count = schema.fields.size();
    RefArray args(count);
    for (std::size_t i = 0; i < count; ++i) {
        args[i] = build_field(obj.slots[i], obj, schema, i, converter_of(&compiled, i));
        if (args[i] == nullptr) return nullptr;
    }
    Ref tuple = Ref::steal(args.into_tuple());
    if (!tuple) return nullptr;
    PyObject* instance = PyObject_Call(cls, tuple.get(), nullptr);
    if (instance == nullptr) {
        PyErr_Clear();
        *call_failed = true;
    }
    return instance;
}

// Calls `cls` with every present field value as a keyword argument; fields not
// taken by the constructor are set as attributes afterwards, in field order.
PyObject* build_keywords(const ObjectValue& obj, const ClassSchema& schema,
                         const CompiledClass* compiled, PyObject* cls) {
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    std::vector<std::pair<Ref, Ref>> deferred;
    for (std::size_t i = 0; i < schema.fields.size(); ++i) {
        const Value* value = entry_of(obj, i);
        if (value == nullptr) continue;  // the class's default applies
        const FieldSchema& field = schema.fields[i];
        PyObject* keyword = nullptr;  // borrowed from the compiled class, or `own_keyword`
        Ref own_keyword;
        bool init = true;
        if (compiled != nullptr && i < compiled->init_args.size()) {
            const InitArg& arg = compiled->init_args[i];
            keyword = arg.py_name.get();
            init = arg.init;
        } else {
            own_keyword = Ref::steal(PyUnicode_FromStringAndSize(
                field.name.data(), static_cast<Py_ssize_t>(field.name.size())));
            if (!own_keyword) return nullptr;
            keyword = own_keyword.get();
        }
        Ref item = Ref::steal(build_field(*value, obj, schema, i, converter_of(compiled, i)));
        if (!item) return nullptr;
        if (init) {
            if (PyDict_SetItem(kwargs.get(), keyword, item.get()) < 0) return nullptr;
        } else {
            deferred.emplace_back(Ref::borrow(keyword), std::move(item));
        }
    }
    static PyObject* const no_args = PyTuple_New(0);  // kept for the process
    if (no_args == nullptr) return ensure_error();
    Ref instance = Ref::steal(PyObject_Call(cls, no_args, kwargs.get()));
    if (!instance) {
        ensure_error();
        note_construction_failure(obj, compiled);
        return nullptr;
    }
    for (const auto& [name, item] : deferred) {
        if (PyObject_SetAttr(instance.get(), name.get(), item.get()) < 0) {
            std::string_view field;
            if (utf8_of(name.get(), field)) add_field_note("binding", field, schema.name);
            return nullptr;
        }
    }
    return instance.release();
}

PyObject* build_instance(const ObjectValue& obj, const TypeDesc& type, PyObject* cls) {
    if (!type.is_nested()) {
        if (node::is_generic(obj)) return build_generic(obj);
        return build_dict(obj);
    }
    const ClassSchema& schema = type.schema();
    if (obj.schema != &schema) [[unlikely]] {
        // A subclass the element's xsi:type chose: built as that class.
        if (const Substitute* substitute = find_substitute(schema, obj.schema)) {
            return build_instance(obj, substitute->type, nullptr);
        }
        return raise_panic("an object laid out for another class reached object building");
    }
    if (obj.slots.size() != schema.fields.size()) {
        return raise_panic("an object laid out for another class reached object building");
    }
    const CompiledClass* compiled = compiled_of(schema);
    if (cls == nullptr && compiled != nullptr) cls = compiled->cls.get();
    if (cls == nullptr) return build_dict(obj);
    if (compiled != nullptr && compiled->positional && has_every_field(obj)) {
        bool call_failed = false;
        PyObject* instance = build_positional(obj, schema, *compiled, cls, &call_failed);
        if (instance != nullptr || !call_failed) return instance;
        // The positional call raised: its exception is dropped and the class is
        // called again with keywords, every value converted anew.
    }
    return build_keywords(obj, schema, compiled, cls);
}

}  // namespace

const TypeDesc& untyped_descriptor() {
    static const TypeDesc untyped = TypeDesc::scalar(ScalarKind::Other);
    return untyped;
}

PyObject* build_object(const Value& value, const TypeDesc& type, PyObject* cls,
                       const Converter* convert) {
    switch (value.kind()) {
        case Value::Kind::Null:
        case Value::Kind::Bool:
        case Value::Kind::Int:
        case Value::Kind::Float:
        case Value::Kind::Str:
            return convert_scalar(value, convert);
        case Value::Kind::List: {
            std::size_t failed = 0;
            return build_list(value.as_list(), type, convert, &failed);
        }
        case Value::Kind::Object:
            return build_instance(value.as_object(), type, cls);
        case Value::Kind::Absent:
            break;
    }
    return raise_panic("an absent value reached object building");
}

}  // namespace kestrix::py
