// fuzz/fuzz_parse_document.cpp: libFuzzer harness for parse_document and RecordStream.
//
// The first input byte picks a schema, a nesting limit and whether the document
// is decoded as it declares (with a byte table for encodings expat does not
// know); the second a record tag and a chunk size; the rest is the document.
// Both readers run over it and every tree they return is checked against its
// schema's shape; the record stream runs once over the whole document and once
// fed in chunks, and both must give the same records and errors. A tree bound
// to the namespaced schema, to the one with xsi:type substitutes, or to the
// namespaced one with catch-all fields, is also written and must read back:
// the output has to be namespace-well-formed and keep what was caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bind_fixtures.hpp"
#include "kestrix/catch_all.hpp"
#include "kestrix/emitter.hpp"
#include "kestrix/encoding.hpp"
#include "kestrix/namespaces.hpp"
#include "kestrix/parser.hpp"
#include "kestrix/record_stream.hpp"
#include "kestrix/schema.hpp"
#include "kestrix/value.hpp"

namespace {

using namespace kestrix;

FieldSchema field(const char* name, const char* xml_name, TypeDesc type, FieldRole role) {
    return FieldSchema{name, xml_name, std::move(type), role};
}

using testing::make_class;

constexpr auto A = FieldRole::Attribute;
constexpr auto E = FieldRole::Element;
constexpr auto T = FieldRole::Text;
TypeDesc s(ScalarKind k) { return TypeDesc::scalar(k); }

struct Schemas {
    std::vector<std::shared_ptr<ClassSchema>> all;

    Schemas() {
        auto flat = make_class(
            "r", field("i", "i", s(ScalarKind::Int), A), field("f", "x:f", s(ScalarKind::Float), A),
            field("b", "b", s(ScalarKind::Bool), E), field("s", "s", s(ScalarKind::Str), E),
            field("n", "n", s(ScalarKind::Int), E), field("d", "d", s(ScalarKind::XmlDate), E));
        auto line = make_class("item", field("sku", "sku", s(ScalarKind::Str), A),
                               field("q", "q", s(ScalarKind::Int), E));
        auto nested = make_class("r", field("a", "a", s(ScalarKind::Str), A),
                                 field("c", "c", TypeDesc::nested(flat), E),
                                 field("item", "item", TypeDesc::nested(line), E),
                                 field("s", "s", s(ScalarKind::Str), E));
        auto lists =
            make_class("r", field("ss", "s", TypeDesc::list(s(ScalarKind::Str)), E),
                       field("ns", "n", TypeDesc::list(s(ScalarKind::Int)), E),
                       field("bs", "b", TypeDesc::list(s(ScalarKind::Bool)), E),
                       field("items", "item", TypeDesc::list(TypeDesc::nested(line)), E),
                       field("rows", "row", TypeDesc::list(TypeDesc::list(s(ScalarKind::Int))), E),
                       field("attr", "a", TypeDesc::list(s(ScalarKind::Str)), A));
        auto text = make_class("r", field("lang", "lang", s(ScalarKind::Str), A),
                               field("body", "", s(ScalarKind::Str), T),
                               field("em", "em", s(ScalarKind::Str), E),
                               field("item", "item", TypeDesc::nested(line), E));
        auto words = make_class("r", field("w", "", TypeDesc::list(s(ScalarKind::Int)), T),
                                field("s", "s", s(ScalarKind::Str), E));
        // A class containing itself, through references that do not own it (an
        // owning one would be a cycle that is never freed).
        auto node = std::make_shared<ClassSchema>();
        const std::shared_ptr<const ClassSchema> self(std::shared_ptr<void>(), node.get());
        node->name = "n";
        node->fields.push_back(field("label", "label", s(ScalarKind::Str), A));
        node->fields.push_back(field("child", "n", TypeDesc::nested(self), E));
        node->fields.push_back(field("kids", "k", TypeDesc::list(TypeDesc::nested(self)), E));
        node->fields.push_back(field("v", "v", s(ScalarKind::Int), E));
        node->fields.push_back(field("t", "", s(ScalarKind::Str), T));
        node->build_indices();
        all = {flat,
               nested,
               lists,
               text,
               words,
               node,
               namespaced(line),
               choices(line),
               wrapped(line),
               substituted(),
               caught(line, false),
               caught(line, true)};
    }

    /// Catch-all fields beside QName values: a plain catch-all list, one that
    /// is a member of a choice list beside a class, and the attributes; read
    /// without namespace processing, or namespace-aware.
    static std::shared_ptr<ClassSchema> caught(std::shared_ptr<ClassSchema> line, bool aware) {
        FieldSchema ordered =
            field("o", "o", TypeDesc::list(TypeDesc::choice()), FieldRole::Choice);
        ordered.choices.push_back(field("o", "item", TypeDesc::nested(line), E));
        ordered.choices.push_back(field("o", "", s(ScalarKind::Other), FieldRole::AnyElements));
        auto inner =
            make_class("inner", std::move(ordered), field("q", "q", s(ScalarKind::QName), A),
                       field("x", "x", s(ScalarKind::Other), FieldRole::AnyAttributes));
        auto root = make_class(
            "r", field("q", "q", TypeDesc::list(s(ScalarKind::QName)), E),
            field("inner", "inner", TypeDesc::nested(inner), E),
            field("any", "any", TypeDesc::list(s(ScalarKind::Other)), FieldRole::AnyElements),
            field("x", "x", s(ScalarKind::Other), FieldRole::AnyAttributes));
        if (aware) {
            root->ns = "urn:a";
            root->prefixes = {{"b", "urn:b"}};
            root->declares_namespaces = true;
        }
        root->namespaces = plan_namespaces(*root);
        return root;
    }

    /// Element unions by name: a list choice of a class and two scalars beside
    /// a plain field, a one-item choice, and ordered mixed content.
    static std::shared_ptr<ClassSchema> choices(std::shared_ptr<ClassSchema> line) {
        FieldSchema shapes =
            field("shapes", "shapes", TypeDesc::list(TypeDesc::choice()), FieldRole::Choice);
        shapes.choices.push_back(field("shapes", "item", TypeDesc::nested(line), E));
        shapes.choices.push_back(field("shapes", "n", s(ScalarKind::Int), E));
        shapes.choices.push_back(field("shapes", "s", s(ScalarKind::Str), E));
        FieldSchema one = field("one", "one", TypeDesc::choice(), FieldRole::Choice);
        one.choices.push_back(field("one", "x", s(ScalarKind::Float), E));
        one.choices.push_back(field("one", "k", TypeDesc::nested(line), E));
        FieldSchema runs =
            field("runs", "runs", TypeDesc::list(TypeDesc::choice()), FieldRole::Choice);
        runs.choices.push_back(field("runs", "", s(ScalarKind::Str), T));
        runs.choices.push_back(field("runs", "b", s(ScalarKind::Str), E));
        runs.choices.push_back(field("runs", "i", TypeDesc::nested(line), E));
        auto mixed = make_class("m", field("lang", "lang", s(ScalarKind::Str), A), std::move(runs));
        return make_class("r", field("a", "a", s(ScalarKind::Str), A), std::move(shapes),
                          field("q", "q", s(ScalarKind::Int), E), std::move(one),
                          field("m", "m", TypeDesc::nested(mixed), E));
    }

    /// Wrapped lists: items of a class, of a scalar and of a choice inside
    /// wrapper elements of their own.
    static std::shared_ptr<ClassSchema> wrapped(std::shared_ptr<ClassSchema> line) {
        const auto wrapper = [](const char* name, FieldSchema inner) {
            auto made = make_class(std::string("r.") + name, std::move(inner));
            made->element_name = name;
            made->list_wrapper = true;
            return field(name, name, TypeDesc::nested(made), E);
        };
        FieldSchema mixed = field("c", "c", TypeDesc::list(TypeDesc::choice()), FieldRole::Choice);
        mixed.choices.push_back(field("c", "n", s(ScalarKind::Int), E));
        mixed.choices.push_back(field("c", "item", TypeDesc::nested(line), E));
        return make_class(
            "r",
            wrapper("items", field("items", "item", TypeDesc::list(TypeDesc::nested(line)), E)),
            wrapper("ns", field("ns", "n", TypeDesc::list(s(ScalarKind::Int)), E)),
            wrapper("cs", std::move(mixed)), field("n", "n", s(ScalarKind::Int), E));
    }

    /// Type substitution: a base class whose xsi:type may name two subclasses
    /// (one in a namespace, one in none), in a field and a list.
    static std::shared_ptr<ClassSchema> substituted() {
        auto base = make_class("addr", field("street", "street", s(ScalarKind::Str), E));
        base->type_name = "Addr";
        base->type_ns = "urn:t";
        auto us = make_class("us", field("street", "street", s(ScalarKind::Str), E),
                             field("zip", "zip", s(ScalarKind::Int), E));
        auto uk = make_class("uk", field("street", "street", s(ScalarKind::Str), E),
                             field("code", "code", s(ScalarKind::Str), A));
        base->substitutes.push_back(Substitute{"urn:t", "US", TypeDesc::nested(us)});
        base->substitutes.push_back(Substitute{"", "UK", TypeDesc::nested(uk)});
        auto root = make_class("r", field("ship", "ship", TypeDesc::nested(base), E),
                               field("bill", "bill", TypeDesc::list(TypeDesc::nested(base)), E));
        root->namespaces = plan_namespaces(*root);
        return root;
    }

    /// A tree read namespace-aware: attributes of one local name in two
    /// namespaces and in none, an element in no namespace, one under a prefix
    /// the class does not bind, and a nested class in a namespace of its own.
    static std::shared_ptr<ClassSchema> namespaced(std::shared_ptr<ClassSchema> line) {
        const auto in = [](std::string ns, FieldSchema f) {
            f.ns = std::move(ns);
            f.ns_rule = NsRule::Fixed;
            return f;
        };
        auto inner = make_class("inner", in("urn:b", field("id", "id", s(ScalarKind::Int), A)),
                                field("v", "v", s(ScalarKind::Str), E));
        inner->ns = "urn:b";
        auto root = make_class("r", field("id", "id", s(ScalarKind::Str), A),
                               in("urn:b", field("bid", "id", s(ScalarKind::Str), A)),
                               in("", field("plain", "plain", s(ScalarKind::Str), E)),
                               field("any", "p:any", s(ScalarKind::Str), E),
                               in("urn:b", field("inner", "inner", TypeDesc::nested(inner), E)),
                               field("items", "item", TypeDesc::list(TypeDesc::nested(line)), E),
                               field("t", "", s(ScalarKind::Str), T));
        root->fields[3].ns_rule = NsRule::AnyPrefix;
        root->ns = "urn:a";
        root->prefixes = {{"b", "urn:b"}, {"p", "urn:p"}};
        root->declares_namespaces = true;
        root->namespaces = plan_namespaces(*root);
        return root;
    }
};

[[noreturn]] void broken() { std::abort(); }

bool scalar_value(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Null:
        case Value::Kind::Bool:
        case Value::Kind::Int:
        case Value::Kind::Float:
        case Value::Kind::Str:
            return true;
        default:
            return false;
    }
}

void check_object(const Value& value, const ClassSchema& schema);

void check_item(const Value& item, const TypeDesc& type) {
    if (type.is_scalar()) {
        if (!scalar_value(item)) broken();
    } else if (type.is_nested()) {
        check_object(item, type.schema());
    } else {
        broken();  // a list of lists never receives items
    }
}

/// A list of texts in `slot` (absent, or Str items in pairs when `pairs`).
void check_texts(const Value& slot, bool pairs) {
    if (slot.is_absent()) return;
    if (slot.kind() != Value::Kind::List || (pairs && slot.as_list().size() % 2 != 0)) broken();
    for (const Value& text : slot.as_list()) {
        if (text.kind() != Value::Kind::Str) broken();
    }
}

/// A generic node a catch-all field holds, and everything inside it.
void check_node(const Value& value) {
    if (value.kind() != Value::Kind::Object) broken();
    const ObjectValue& object = value.as_object();
    for (const Value& slot : object.slots) {
        if (!slot.is_absent() && slot.kind() != Value::Kind::Str &&
            slot.kind() != Value::Kind::List) {
            broken();
        }
    }
    if (object.schema == &node::element_schema()) {
        if (object.slots[node::TAG].kind() != Value::Kind::Str) broken();
        check_texts(object.slots[node::ATTRIBUTES], true);
        check_texts(object.slots[node::NAMESPACES], true);
        for (const Value& child : node::list_of(object, node::CHILDREN)) check_node(child);
    } else if (object.schema != &node::comment_schema() &&
               object.schema != &node::instruction_schema()) {
        broken();
    }
}

/// An item of a choice field: a choice item of one of its members.
void check_choice(const Value& item, const FieldSchema& field) {
    std::size_t member = 0;
    Value value;
    if (!read_choice_item(item, member, value) || member >= field.choices.size()) broken();
    if (field.choices[member].role == FieldRole::AnyElements) {
        check_node(value);
        return;
    }
    check_item(value, field.choices[member].type);
}

/// Drops the namespace declarations caught elements kept, which a written
/// document gives them anew.
void forget_declarations(const Value& value) {
    if (value.kind() == Value::Kind::List) {
        for (const Value& item : value.as_list()) forget_declarations(item);
    } else if (value.kind() == Value::Kind::Object) {
        const ObjectValue& object = value.as_object();
        if (object.schema == &node::element_schema()) object.slots[node::NAMESPACES] = Value();
        for (const Value& slot : object.slots) forget_declarations(slot);
    }
}

/// The shape every parsed tree has: one slot per field, lists never empty and
/// holding items of the field's item type, objects for class fields.
void check_object(const Value& value, const ClassSchema& schema) {
    if (value.kind() != Value::Kind::Object) broken();
    const ObjectValue& object = value.as_object();
    if (object.schema != &schema) {
        // A subclass an xsi:type chose.
        const Substitute* substitute = find_substitute(schema, object.schema);
        if (substitute == nullptr) broken();
        check_object(value, substitute->type.schema());
        return;
    }
    if (object.slots.size() != schema.fields.size()) broken();
    for (std::size_t i = 0; i < object.slots.size(); ++i) {
        const Value& slot = object.slots[i];
        if (slot.is_absent()) continue;
        const FieldSchema& field = schema.fields[i];
        const TypeDesc& type = field.type;
        if (field.role == FieldRole::AnyAttributes) {
            if (slot.kind() != Value::Kind::Object ||
                slot.as_object().schema != &node::attributes_schema()) {
                broken();
            }
            check_texts(slot.as_object().slots[node::PAIRS], true);
            continue;
        }
        if (field.role == FieldRole::AnyElements) {
            if (slot.kind() != Value::Kind::List || slot.as_list().empty()) broken();
            for (const Value& item : slot.as_list()) check_node(item);
            continue;
        }
        if (type.is_list()) {
            if (slot.kind() != Value::Kind::List || slot.as_list().empty()) broken();
            for (const Value& item : slot.as_list()) {
                if (field.role == FieldRole::Choice) {
                    check_choice(item, field);
                } else {
                    check_item(item, type.item());
                }
            }
        } else if (field.role == FieldRole::Choice) {
            check_choice(slot, field);
        } else {
            check_item(slot, type);
        }
    }
}

/// The tree as writing it and reading it back gives it: a null (a nil element,
/// None in Python) is written as nothing, so a null field or list item reads
/// back as absent, and a list of nulls only as no list.
std::string dump_as_written(const Value& value) {
    switch (value.kind()) {
        case Value::Kind::List: {
            std::string out;
            for (const Value& item : value.as_list()) {
                if (!item.is_null()) out += (out.empty() ? "" : ",") + dump_as_written(item);
            }
            return out.empty() ? std::string() : "[" + out + "]";
        }
        case Value::Kind::Object: {
            const ObjectValue& object = value.as_object();
            std::string out;
            for (std::size_t i = 0; i < object.slots.size(); ++i) {
                const Value& slot = object.slots[i];
                if (slot.is_absent() || slot.is_null()) continue;
                const std::string entry = dump_as_written(slot);
                if (entry.empty()) continue;
                out += (out.empty() ? "" : ",") + object.schema->fields[i].name + "=" + entry;
            }
            return "{" + out + "}";
        }
        default:
            return testing::dump(value);
    }
}

/// One outcome of a record stream as text: the record, or the error and its
/// location. Where markup is not well-formed, expat may name another reason
/// or position when the bad token is cut by a chunk boundary: only the kind
/// of such an error is compared.
std::string outcome(const Result<ValueTree>& record) {
    if (record) return testing::dump(record.value());
    if (record.error().kind() == BindError::Kind::XmlReader) return "not well-formed";
    std::string out = record.error().message();
    if (const auto& at = record.error().location())
        out += " @" + std::to_string(at->line) + ":" + std::to_string(at->column) + at->entity;
    return out;
}

/// A single-byte table as a declared encoding would get it: Latin-1 with a
/// few bytes moved to other planes and a few left undefined.
std::shared_ptr<const ByteTable> odd_table() {
    auto table = std::make_shared<ByteTable>();
    for (int i = 0; i < 256; ++i) (*table)[i] = i;
    (*table)[0x80] = 0x20AC;
    (*table)[0x81] = -1;
    (*table)[0x9F] = 0x0178;
    (*table)[0xFF] = 0xFFFD;
    return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Schemas schemas;
    static const char* const tags[] = {"r",           "n",       "k",    "item", "s",
                                       "{urn:a}item", "b:inner", "ship", "m"};
    static const std::uint64_t limits[] = {256, 1, 2, 3, 8, 0};
    static const ReaderOptions as_declared{true, odd_table()};
    if (size < 2) return 0;
    const std::size_t kinds = schemas.all.size();
    const auto& schema = schemas.all[data[0] % kinds];
    const std::uint64_t limit = limits[(data[0] / kinds) % std::size(limits)];
    const bool declared = (data[0] / kinds / std::size(limits)) % 2 == 1;
    const char* tag = tags[data[1] % std::size(tags)];
    const std::size_t chunk = (data[1] / std::size(tags)) % 16 + 1;
    const std::string_view document(reinterpret_cast<const char*>(data) + 2, size - 2);
    const ReaderOptions options = declared ? as_declared : ReaderOptions{};

    Result<ValueTree> whole = parse_document(document, *schema, limit, options);
    if (whole) check_object(whole.value().root, *schema);
    (void)needs_declared_encoding(document);
    // Trees whose output must read back: namespace-aware ones, and those
    // whose objects may be written with an xsi:type.
    const bool writes_back = schema->namespace_aware() ||
                             (schema->namespaces != nullptr && schema->namespaces->substitutions);
    if (whole && writes_back) {
        Result<std::string> written =
            write_document("r", whole.value().root, *schema, std::nullopt);
        if (!written) broken();
        Result<ValueTree> again = parse_document(written.value(), *schema, MAX_DEPTH);
        if (!again) broken();
        forget_declarations(whole.value().root);
        forget_declarations(again.value().root);
        if (testing::dump(again.value()) != dump_as_written(whole.value().root)) broken();
    }

    RecordStream stream{std::string(document), schema, tag, limit, options};
    RecordStream fed{schema, tag, limit, options};
    std::size_t offset = 0;
    // One record of the held stream is kept while the stream reads on, then
    // given back: its tree must stay as it was bound.
    ValueTree held;
    std::string held_dump;
    // Every call consumes at least one start tag or ends the stream.
    for (std::size_t calls = 0; calls <= document.size() + 1; ++calls) {
        Result<ValueTree> record = stream.next();
        Result<ValueTree> same = fed.next();
        while (same && same.value().root.is_absent() && fed.needs_input()) {
            // The first piece holds at least 4 bytes, as the binding's does (it
            // gathers 512): expat judges a UTF-16 document from its first bytes.
            const std::string_view piece = document.substr(offset, offset ? chunk : chunk + 3);
            offset += piece.size();
            fed.feed(piece, offset == document.size());
            same = fed.next();
        }
        if (outcome(record) != outcome(same)) broken();  // chunk boundaries changed a result
        if (same) fed.recycle(std::move(same).value());
        if (!held.root.is_absent() && testing::dump(held) != held_dump) broken();
        if (!record) continue;
        if (record.value().root.is_absent()) return 0;
        check_object(record.value().root, *schema);
        if (calls % 2 == 0) {
            stream.recycle(std::move(held));
            held = std::move(record).value();
            held_dump = testing::dump(held);
        }
    }
    broken();  // the stream did not end
}
