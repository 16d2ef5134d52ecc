// binding/src/walker.cpp: serialize: reads a model instance into a Value tree
// and writes that tree as XML bytes.
#include "walker.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catch_all.hpp"
#include "compile_wrapper.hpp"
#include "compiled_class.hpp"
#include "convert_scalar.hpp"
#include "entry_points.hpp"
#include "errors.hpp"
#include "kestrix/emitter.hpp"
#include "pyref.hpp"
#include "write_options.hpp"

namespace kestrix::py {

namespace {

/// The interned name "value", kept for the process; null if it cannot be made.
PyObject* value_name() {
    static PyObject* const name = PyUnicode_InternFromString("value");
    if (name == nullptr) PyErr_Clear();
    return name;
}

/// Whether reading `value` from an instance of `type` can only fail without
/// running any code: the type and its bases cannot change (immutable), its
/// metatype is `type`, attribute lookup is the generic one, instances carry no
/// dict, and no class in the MRO defines `value`. Any doubt answers false.
bool probe_lacks_value(PyTypeObject* type) {
    PyObject* const t = reinterpret_cast<PyObject*>(type);
    if ((PyType_GetFlags(type) & Py_TPFLAGS_IMMUTABLETYPE) == 0) return false;
    if (Py_TYPE(t) != &PyType_Type) return false;
    if (PyType_GetSlot(type, Py_tp_getattro) != reinterpret_cast<void*>(&PyObject_GenericGetAttr)) {
        return false;
    }
    Ref offset = Ref::steal(PyObject_GetAttrString(t, "__dictoffset__"));
    if (!offset || PyLong_AsLong(offset.get()) != 0) {
        PyErr_Clear();
        return false;
    }
    Ref mro = Ref::steal(PyObject_GetAttrString(t, "__mro__"));
    if (!mro || !PyTuple_Check(mro.get())) {
        PyErr_Clear();
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_Size(mro.get()); ++i) {
        Ref dict = Ref::steal(PyObject_GetAttrString(PyTuple_GetItem(mro.get(), i), "__dict__"));
        if (!dict || PySequence_Contains(dict.get(), value_name()) != 0) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

/// Caches probe_lacks_value per immutable type. Reading a missing attribute
/// builds and discards an AttributeError, which costs more than the rest of
/// the field; for Decimal, datetime, int or float values it is skipped. The
/// cache holds its types for the process, so their addresses are never reused.
bool lacks_value_attribute(PyTypeObject* type) {
    if ((PyType_GetFlags(type) & Py_TPFLAGS_IMMUTABLETYPE) == 0) return false;
    struct Verdict {
        PyTypeObject* type;
        bool lacks;
    };
    static auto* const known = new std::vector<Verdict>();  // never freed
    for (const Verdict& v : *known) {
        if (v.type == type) return v.lacks;
    }
    const bool lacks = probe_lacks_value(type);
    if (known->size() < 64) {
        Py_INCREF(reinterpret_cast<PyObject*>(type));
        known->push_back({type, lacks});
    }
    return lacks;
}

/// The attribute `value` of `v` (enum members and value wrappers), or null when
/// it cannot be read; a failed read leaves no error behind.
Ref value_attribute(PyObject* v) {
    PyObject* const name = value_name();
    if (name == nullptr || lacks_value_attribute(Py_TYPE(v))) return Ref();
    Ref result = Ref::steal(PyObject_GetAttr(v, name));
    if (!result) PyErr_Clear();
    return result;
}

/// Stores the UTF-8 text of the str `s` in `out`.
bool store_utf8(PyObject* s, Value& out, Arena& arena) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s, &size);
    if (data == nullptr) return false;
    out = Value::string(arena.copy(std::string_view(data, static_cast<std::size_t>(size))));
    return true;
}

/// Python's str() of `v`'s attribute `value` when it has one, else of `v`.
bool store_text(PyObject* v, Value& out, Arena& arena) {
    // A plain str has no `value` attribute and is its own str().
    if (PyUnicode_CheckExact(v)) return store_utf8(v, out, arena);
    Ref inner = value_attribute(v);
    Ref text = Ref::steal(PyObject_Str(inner ? inner.get() : v));
    return text && store_utf8(text.get(), out, arena);
}

/// numpy's boolean scalar: `numpy.bool_` (named "bool" in the module numpy
/// from numpy 2 on).
bool is_numpy_bool(PyObject* v) {
    const std::string name = type_name(v);
    if (name == "bool_") return true;
    if (name != "bool") return false;
    Ref module =
        Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(v)), "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) &&
           PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

/// Stores `v` as a scalar of `kind`, as `convert` (may be null) writes it.
bool store_scalar(PyObject* v, ScalarKind kind, const Converter* convert, Value& out,
                  Arena& arena) {
    switch (kind) {
        case ScalarKind::Int: {
            long long n = 0;
            // Plain ints and bools have no `value` attribute; skip the failing read.
            if (PyLong_CheckExact(v) || PyBool_Check(v)) {
                n = PyLong_AsLongLong(v);
            } else {
                Ref inner = value_attribute(v);
                n = PyLong_AsLongLong(inner ? inner.get() : v);
            }
            if (n == -1 && PyErr_Occurred() != nullptr) return false;
            out = Value::integer(n);
            return true;
        }
        case ScalarKind::Float: {
            const double d = PyFloat_AsDouble(v);
            if (d == -1.0 && PyErr_Occurred() != nullptr) return false;
            out = Value::floating(d);
            return true;
        }
        case ScalarKind::Bool: {
            if (PyBool_Check(v)) {
                out = Value::boolean(v == Py_True);
                return true;
            }
            if (!is_numpy_bool(v)) {
                raise_type_mismatch(v, "bool");
                return false;
            }
            const int truth = PyObject_IsTrue(v);
            if (truth < 0) return false;
            out = Value::boolean(truth != 0);
            return true;
        }
        default:
            if (convert != nullptr && convert->writes_iso()) {
                // date, time and datetime objects in the form XML Schema reads
                if (Ref iso = iso_text(v)) return store_utf8(iso.get(), out, arena);
                if (PyErr_Occurred() != nullptr) return false;
            }
            return store_text(v, out, arena);
    }
}

/// One walk of `serialize`: `depth` counts class levels, the root being 1.
/// A failure that comes from a field's value gains a note per class level,
/// naming the field (and the list item) the walk was in.
class Walker {
public:
    explicit Walker(Arena& arena) : arena_(arena) {}

    bool walk(PyObject* obj, const ClassSchema& schema, std::uint64_t depth, Value& out) {
        if (depth > MAX_DEPTH) {
            raise_bind_error(BindError::depth_exceeded(MAX_DEPTH, depth));
            too_deep_ = true;  // a model graph too deep or cyclic: no field is at fault
            return false;
        }
        if (!schema.substitutes.empty()) [[unlikely]] {
            // An instance of a subclass that declares a type name is written
            // as that class, with its xsi:type.
            if (const ClassSchema* actual = substitute_of(obj, schema); actual != &schema) {
                return walk(obj, *actual, depth, out);
            }
        }
        // Attribute names and converters come from the class compiled for this
        // very schema; without that record names are created from the fields.
        const CompiledClass* compiled = compiled_of(schema);
        if (compiled != nullptr && compiled->schema.get() != &schema) compiled = nullptr;

        ObjectValue& result = *ObjectValue::make(schema, arena_);
        for (std::size_t i = 0; i < schema.fields.size(); ++i) {
            const FieldSchema& field = schema.fields[i];
            const InitArg* arg = compiled != nullptr && i < compiled->init_args.size()
                                     ? &compiled->init_args[i]
                                     : nullptr;
            PyObject* name = nullptr;
            Ref created;
            if (arg != nullptr && arg->py_name) {
                name = arg->py_name.get();
            } else {
                created = Ref::steal(PyUnicode_FromStringAndSize(
                    field.name.data(), static_cast<Py_ssize_t>(field.name.size())));
                if (!created) return false;
                name = created.get();
            }
            Ref v = Ref::steal(PyObject_GetAttr(obj, name));
            if (!v) {
                PyErr_Clear();  // an unreadable attribute leaves the field out
                continue;
            }
            if (v.get() == Py_None) {
                result.slots[i] = Value::null();
                continue;
            }
            std::optional<std::size_t> item;
            const bool stored =
                field.role < FieldRole::Choice
                    ? store_field(v.get(), field.type, arg, depth, result.slots[i], item)
                : field.role == FieldRole::Choice
                    ? store_choices(v.get(), field, arg, depth, result.slots[i], item)
                    : store_catch_all(v.get(), field.role, arena_, result.slots[i], item);
            if (!stored) {
                if (!too_deep_) add_field_note("writing", field.name, schema.name, item);
                return false;
            }
        }
        out = Value::object(&result);
        return true;
    }

private:
    bool store_field(PyObject* v, const TypeDesc& type, const InitArg* arg, std::uint64_t depth,
                     Value& out, std::optional<std::size_t>& failed_item) {
        const Converter* convert = arg != nullptr ? &arg->convert : nullptr;
        switch (type.kind()) {
            case TypeDesc::Kind::Scalar:
                return store_scalar(v, type.scalar_kind(), convert, out, arena_);
            case TypeDesc::Kind::Nested:
                if (type.schema().list_wrapper) [[unlikely]] {
                    return store_wrapped(v, type.schema(), arg, depth, out, failed_item);
                }
                return walk(v, type.schema(), depth + 1, out);
            case TypeDesc::Kind::Choice:
                return true;  // stored by store_choices
            case TypeDesc::Kind::List:
                break;
        }
        if (!PyList_Check(v)) return true;  // tuples and other sequences leave the field out
        const TypeDesc& item_type = type.item();
        return store_items(v, out, failed_item, [&](PyObject* item, Value& iv) {
            if (item_type.is_nested()) return walk(item, item_type.schema(), depth + 1, iv);
            // Each item is written as a single field of the item's kind is; the
            // items of a list of lists write nothing.
            if (item_type.is_scalar()) {
                return store_scalar(item, item_type.scalar_kind(), convert, iv, arena_);
            }
            return true;
        });
    }

    /// Stores the items of the list `v` as a list value, each non-None item
    /// through `store_item(item, value)` (a None item writes nothing). The
    /// one loop of plain and choice lists; a template, so each inlines its
    /// own step.
    template <class StoreItem>
    bool store_items(PyObject* v, Value& out, std::optional<std::size_t>& failed_item,
                     StoreItem&& store_item) {
        const Py_ssize_t start = PyList_Size(v);
        auto* items =
            static_cast<Value*>(arena_.allocate(static_cast<std::size_t>(start) * sizeof(Value)));
        std::size_t count = 0;
        // Item code may shrink the list while it runs: the bound is re-read each time.
        for (Py_ssize_t i = 0; i < start && i < PyList_Size(v); ++i) {
            Ref item = Ref::borrow(PyList_GetItem(v, i));
            if (!item) return false;
            Value iv = Value::null();
            if (item.get() != Py_None && !store_item(item.get(), iv)) {
                failed_item = static_cast<std::size_t>(i);
                return false;
            }
            items[count++] = iv;
        }
        out = Value::list(items, count);
        return true;
    }

    /// The substitute of `schema` whose class is exactly `obj`'s; else the
    /// last one (substitutes list parents before their subclasses) `obj` is
    /// an instance of, so a subclass that declares no type name of its own
    /// is written as its nearest ancestor that does; else `schema`.
    static const ClassSchema* substitute_of(PyObject* obj, const ClassSchema& schema) {
        PyObject* const type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
        const ClassSchema* nearest = &schema;
        for (const Substitute& substitute : schema.substitutes) {
            const CompiledClass* compiled = compiled_of(substitute.type.schema());
            if (compiled == nullptr) continue;
            if (compiled->cls.get() == type) return &substitute.type.schema();
            const int is = PyObject_IsInstance(obj, compiled->cls.get());
            if (is < 0) PyErr_Clear();
            if (is > 0) nearest = &substitute.type.schema();
        }
        return nearest;
    }

    /// Stores the list `v` of a wrapped list field as the object of its
    /// wrapper element, whose one field holds the items ([] gives an empty
    /// wrapper). Anything but a list leaves the field out, as for other lists.
    [[gnu::noinline]] bool store_wrapped(PyObject* v, const ClassSchema& wrapper,
                                         const InitArg* arg, std::uint64_t depth, Value& out,
                                         std::optional<std::size_t>& failed_item) {
        if (!PyList_Check(v)) return true;
        if (depth + 1 > MAX_DEPTH) {
            raise_bind_error(BindError::depth_exceeded(MAX_DEPTH, depth + 1));
            too_deep_ = true;
            return false;
        }
        ObjectValue& object = *ObjectValue::make(wrapper, arena_);
        const FieldSchema& inner = wrapped_field(wrapper);
        const bool ok =
            inner.role == FieldRole::Choice
                ? store_choices(v, inner, arg, depth + 1, object.slots[0], failed_item)
                : store_field(v, inner.type, arg, depth + 1, object.slots[0], failed_item);
        if (!ok) return false;
        out = Value::object(&object);
        return true;
    }

    /// The member of a choice field that `v` is: the first whose class is
    /// exactly `v`'s, else the first `v` is an instance of. Null with
    /// TypeError set when it is none of them.
    std::optional<std::size_t> member_of(PyObject* v, const FieldSchema& field,
                                         const std::vector<MemberArg>& members) {
        PyObject* const type = reinterpret_cast<PyObject*>(Py_TYPE(v));
        for (std::size_t m = 0; m < members.size(); ++m) {
            if (members[m].cls.get() == type) return m;
        }
        for (std::size_t m = 0; m < members.size(); ++m) {
            if (!members[m].cls || !PyType_Check(members[m].cls.get())) continue;
            const int is = PyObject_IsInstance(v, members[m].cls.get());
            if (is < 0) return std::nullopt;
            if (is > 0) return m;
        }
        std::string names;
        for (std::size_t m = 0; m < members.size() && m < field.choices.size(); ++m) {
            if (!names.empty()) names += ", ";
            const FieldRole role = field.choices[m].role;
            names += role == FieldRole::Text          ? std::string("str (text)")
                     : role == FieldRole::AnyElements ? std::string("Element (caught)")
                                                      : field.choices[m].xml_name;
        }
        PyErr_Format(PyExc_TypeError, "a %s is none of the members of field '%s' (%s)",
                     type_name(v).c_str(), field.name.c_str(), names.c_str());
        return std::nullopt;
    }

    /// Stores one item of a choice field as a choice item.
    bool store_choice(PyObject* v, const FieldSchema& field, const std::vector<MemberArg>& members,
                      std::uint64_t depth, Value& out) {
        const std::optional<std::size_t> position = member_of(v, field, members);
        if (!position) return false;
        const FieldSchema& member = field.choices[*position];
        Value value;
        const bool ok = member.role == FieldRole::AnyElements ? store_node(v, arena_, value)
                        : member.type.is_nested()
                            ? walk(v, member.type.schema(), depth + 1, value)
                            : store_scalar(v, member.type.scalar_kind(),
                                           &members[*position].convert, value, arena_);
        if (!ok) return false;
        out = choice_item(static_cast<std::uint32_t>(*position), value, arena_);
        return true;
    }

    /// Stores a choice field: one item, or a list of them in list order.
    bool store_choices(PyObject* v, const FieldSchema& field, const InitArg* arg,
                       std::uint64_t depth, Value& out, std::optional<std::size_t>& failed_item) {
        if (arg == nullptr || arg->members.size() != field.choices.size()) {
            raise_panic("a choice field without its members reached serialization");
            return false;
        }
        if (field.type.is_choice()) return store_choice(v, field, arg->members, depth, out);
        if (!PyList_Check(v)) return true;  // as for other lists: left out
        return store_items(v, out, failed_item, [&](PyObject* item, Value& iv) {
            return store_choice(item, field, arg->members, depth, iv);
        });
    }

    Arena& arena_;
    bool too_deep_ = false;
};

}  // namespace

std::optional<Value> object_to_value(PyObject* obj, const ClassSchema& schema, Arena& arena) {
    Value out;
    if (!Walker(arena).walk(obj, schema, 1, out)) return std::nullopt;
    return out;
}

namespace {

PyObject* serialize_with_options(PyObject* obj, const WriteOptions& options) {
    const CompiledClass* compiled = compile_class(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    if (compiled == nullptr) return ensure_error();
    const ClassSchema& schema = *compiled->schema;
    Arena arena;  // the tree's memory, released on every path
    std::optional<Value> root = object_to_value(obj, schema, arena);
    if (!root) return ensure_error();
    Result<std::string> document = write_document(schema.root_name(), *root, schema, options);
    if (!document) return raise_bind_error(document.error());
    const std::string& text = document.value();
    return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace

PyObject* serialize_object(PyObject* obj, std::optional<std::uint64_t> indent) {
    return serialize_with_options(obj, WriteOptions{indent});
}

PyObject* serialize_with(PyObject*, PyObject* args) {
    PyObject *obj = nullptr, *indent = nullptr, *short_empty = nullptr, *encodable = nullptr;
    if (!PyArg_ParseTuple(args, "OOOO:_serialize_with", &obj, &indent, &short_empty, &encodable)) {
        return nullptr;
    }
    OwnedWriteOptions options;
    if (!read_write_options(indent, short_empty, encodable, options)) return nullptr;
    return serialize_with_options(obj, options.options);
}

}  // namespace kestrix::py
