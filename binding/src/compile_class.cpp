// binding/src/compile_class.cpp: compiling a Python class into its schema and
// binding record, the process-wide SchemaCache, and recursive models.
#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "annotation.hpp"
#include "compiled_class.hpp"
#include "errors.hpp"
#include "kestrix/namespaces.hpp"
#include "text.hpp"

namespace kestrix::py {

namespace {

// ---------------------------------------------------------------------------
// SchemaCache: class address -> published record. Records are never freed: a
// record replaced by a racing thread's record for the same class moves to
// `retired`, because schemas compiled meanwhile may point at it. The cache
// itself is never destroyed either, so no Python reference is released after
// the interpreter has gone at process exit.

struct SchemaCache {
    std::shared_mutex mutex;
    std::unordered_map<const PyObject*, const CompiledClass*> entries;
    std::vector<const CompiledClass*> retired;
};

SchemaCache& schema_cache() {
    static SchemaCache* cache = new SchemaCache;
    return *cache;
}

const CompiledClass* cached(PyObject* cls) {
    SchemaCache& cache = schema_cache();
    std::shared_lock lock(cache.mutex);
    auto it = cache.entries.find(cls);
    return it == cache.entries.end() ? nullptr : it->second;
}

// Publishes every record of `group` under one exclusive lock; from here on
// they belong to the cache.
void publish(std::vector<std::unique_ptr<CompiledClass>>& group) {
    // Every schema the group reaches is complete now: each class's namespace
    // layout, as the root of a tree, is worked out once here.
    for (std::unique_ptr<CompiledClass>& record : group) {
        record->schema->namespaces = plan_namespaces(*record->schema);
    }
    SchemaCache& cache = schema_cache();
    std::unique_lock lock(cache.mutex);
    for (std::unique_ptr<CompiledClass>& record : group) {
        const CompiledClass*& slot = cache.entries[record->cls.get()];
        if (slot != nullptr) cache.retired.push_back(slot);
        slot = record.release();
    }
    group.clear();
}

// ---------------------------------------------------------------------------
// Recursive models. Each thread keeps the stack of classes it is compiling. A
// field whose class is on the stack refers to that class's unfinished schema.
// A class whose schema (directly or through the classes it compiled) refers to
// an unfinished class below it on the stack cannot be published on its own:
// it is deferred to the lowest such frame and published together with it, once
// everything it points at is complete. A failure anywhere fails every frame
// of the stack, and each discards its own and its deferred records, so no
// published schema ever points at an incomplete or discarded one.

constexpr std::size_t kNoDependency = std::numeric_limits<std::size_t>::max();

struct Frame {
    PyObject* cls;  // borrowed: `record->cls` holds the reference
    std::unique_ptr<CompiledClass> record;
    // Lowest frame index that this class, or anything it compiled, refers to
    // while unfinished; the frame's own index when nothing below it.
    std::size_t low;
    // Finished records waiting for this frame to be published with it.
    std::vector<std::unique_ptr<CompiledClass>> deferred;
};

struct Context {
    std::vector<Frame> frames;
};

// The compilation in progress on this thread, if any. Each compile_class from
// outside (an entry point, or Python code that compile steps run) starts a
// context of its own, so it never sees another compilation's unfinished work.
thread_local Context* t_context = nullptr;

struct ContextScope {
    Context context;
    Context* saved;
    ContextScope() : saved(std::exchange(t_context, &context)) {}
    ~ContextScope() { t_context = saved; }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;
};

// Drops records that will never be published. Their schemas may point at each
// other (a discarded cycle), so their fields are cleared first to break the
// shared-pointer cycles; the error being raised is kept across the releases.
void discard(Frame& frame) {
    SavedError error;
    frame.deferred.push_back(std::move(frame.record));
    for (std::unique_ptr<CompiledClass>& record : frame.deferred) {
        record->schema->fields.clear();
        record->schema->element_index.clear();
        record->schema->attribute_index.clear();
    }
    frame.deferred.clear();
    error.restore();
}

struct Compiled {
    const CompiledClass* record;
    std::size_t dependency;  // frame the record waits for, or kNoDependency
};

// ---------------------------------------------------------------------------
// Reading the class.

Ref attribute(PyObject* obj, const char* name) {
    return Ref::steal(PyObject_GetAttrString(obj, name));
}

// Attribute `name` of `obj`, or null with the error cleared.
Ref attribute_or_null(PyObject* obj, const char* name) {
    Ref value = attribute(obj, name);
    if (!value) PyErr_Clear();
    return value;
}

// Item `key` of `mapping`, or null with the error cleared (no mapping, a
// missing key, an object that is no mapping at all).
Ref item_or_null(PyObject* mapping, const char* key) {
    if (mapping == nullptr) return {};
    Ref name = Ref::steal(PyUnicode_FromString(key));
    Ref value = name ? Ref::steal(PyObject_GetItem(mapping, name.get())) : Ref();
    if (!value) PyErr_Clear();
    return value;
}

// A bool attribute of a dataclass field; `fallback` when it is missing or not
// a bool (such as the marker of an unset option).
bool flag_or(PyObject* field, const char* name, bool fallback) {
    Ref value = attribute_or_null(field, name);
    if (!value || !PyBool_Check(value.get())) return fallback;
    return value.get() == Py_True;
}

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

FieldRole role_from(PyObject* metadata) {
    Ref type = item_or_null(metadata, "type");
    std::string_view text;
    if (!type || !utf8_of(type.get(), text)) return FieldRole::Element;
    if (text == "Attribute") return FieldRole::Attribute;
    if (text == "Text") return FieldRole::Text;
    if (text == "Wildcard" && mixed_is_true(metadata)) return FieldRole::Text;
    return FieldRole::Element;
}

// typing.get_type_hints(cls) as a dict, or null (error cleared) when it cannot
// be had: unresolved forward references are the usual reason.
Ref type_hints(PyObject* cls) {
    Ref typing = Ref::steal(PyImport_ImportModule("typing"));
    Ref function = typing ? attribute(typing.get(), "get_type_hints") : Ref();
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

// Chooses the converter of a field's scalar values. Enum values are read as
// written, edge whitespace included (their conversion tries the value as
// written before the trimmed one), so an enum kept as Other becomes Str for
// the reader. False with the error set on failure.
bool choose_field_converter(PyObject* stripped, TypeDesc& type, Converter& out) {
    Ref annotation = scalar_annotation(stripped, type);
    if (!choose_converter(annotation.get(), out)) return false;
    if (!out.is_enum) return true;
    if (type.is_scalar() && type.scalar_kind() == ScalarKind::Other) {
        type = TypeDesc::scalar(ScalarKind::Str);
    } else if (type.is_list() && type.item().scalar_kind() == ScalarKind::Other) {
        type = TypeDesc::list(TypeDesc::scalar(ScalarKind::Str));
    }
    return true;
}

// Reads one field into `args`/`fields`. False with the error set on failure.
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
    std::string xml_name(name);
    if (Ref given = item_or_null(metadata.get(), "name")) {
        std::string_view text;
        if (utf8_of(given.get(), text)) xml_name = text;
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
    std::optional<TypeDesc> type = analyse_annotation(annotation.get());
    if (!type) return false;
    if (!choose_field_converter(arg.annotation.get(), *type, arg.convert)) return false;
    FieldSchema compiled{std::string(name), std::move(xml_name), std::move(*type), role};
    resolve_namespace(owner, compiled, declared_ns);
    args.push_back(std::move(arg));
    fields.push_back(std::move(compiled));
    return true;
}

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
    schema.declares_namespaces = schema.ns.has_value() || !schema.prefixes.empty();
    return true;
}

// Reads `cls` into `record` (its schema already exists and may be referred to
// by the classes compiled meanwhile). False with the error set on failure.
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

    schema.name = std::move(class_name);
    schema.fields = std::move(fields);
    schema.build_indices();
    record.init_args = std::move(args);
    record.positional =
        record.is_dataclass && std::all_of(record.init_args.begin(), record.init_args.end(),
                                           [](const InitArg& a) { return a.init && !a.kw_only; });
    return true;
}

// Compiles `cls`, which is neither cached nor on this thread's stack, as a new
// frame of `context`.
Compiled compile_new(Context& context, PyObject* cls) {
    if (Py_EnterRecursiveCall(" while compiling a model class") != 0) {
        return {nullptr, kNoDependency};
    }
    const std::size_t index = context.frames.size();
    auto record = std::make_unique<CompiledClass>();
    CompiledClass* result = record.get();
    record->cls = Ref::borrow(cls);
    record->schema = std::make_shared<ClassSchema>();
    record->schema->owner = result;
    context.frames.push_back(Frame{cls, std::move(record), index, {}});

    bool ok = fill_record(cls, *result);
    Py_LeaveRecursiveCall();

    Frame frame = std::move(context.frames.back());
    context.frames.pop_back();
    if (!ok) {
        discard(frame);
        return {nullptr, kNoDependency};
    }
    if (frame.low < index) {
        // Points at an unfinished class below: wait for it.
        auto& waiting = context.frames[frame.low].deferred;
        waiting.push_back(std::move(frame.record));
        for (auto& deferred : frame.deferred) waiting.push_back(std::move(deferred));
        return {result, frame.low};
    }
    frame.deferred.push_back(std::move(frame.record));
    publish(frame.deferred);
    return {result, kNoDependency};
}

// A record of `cls` that this thread has not published yet: on the stack, or
// deferred to some frame. Sets `dependency` to that frame.
const CompiledClass* unfinished(const Context& context, PyObject* cls, std::size_t& dependency) {
    for (std::size_t i = 0; i < context.frames.size(); ++i) {
        const Frame& frame = context.frames[i];
        if (frame.cls == cls) {
            dependency = i;
            return frame.record.get();
        }
        for (const auto& deferred : frame.deferred) {
            if (deferred->cls.get() == cls) {
                dependency = i;
                return deferred.get();
            }
        }
    }
    return nullptr;
}

}  // namespace

const CompiledClass* compile_class(PyObject* cls) {
    if (const CompiledClass* hit = cached(cls)) return hit;
    ContextScope scope;
    return compile_new(scope.context, cls).record;
}

const CompiledClass* compile_nested_class(PyObject* cls) {
    Context* context = t_context;
    if (context == nullptr || context->frames.empty()) return compile_class(cls);
    if (const CompiledClass* hit = cached(cls)) return hit;
    // The class whose field is being analysed is the top frame; it inherits
    // the dependencies of what it refers to.
    std::size_t dependency = kNoDependency;
    const CompiledClass* record = unfinished(*context, cls, dependency);
    if (record == nullptr) {
        Compiled compiled = compile_new(*context, cls);
        if (compiled.record == nullptr) return nullptr;
        record = compiled.record;
        dependency = compiled.dependency;
    }
    std::size_t& low = context->frames.back().low;
    low = std::min(low, dependency);
    return record;
}

}  // namespace kestrix::py
