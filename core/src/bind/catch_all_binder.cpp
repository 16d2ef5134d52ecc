// core/src/bind/catch_all_binder.cpp: the element binder's catch-all rules:
// elements and attributes no field takes, gathered as generic nodes.
#include "element_binder.hpp"
#include "field_lookup.hpp"

namespace kestrix::detail {

namespace {

/// xsi:type as a caught attribute is named.
constexpr std::string_view TYPE_ATTRIBUTE = "{http://www.w3.org/2001/XMLSchema-instance}type";

}  // namespace

bool ElementBinder::caught_name(const ExpandedName& name, bool element, std::string& out) const {
    std::string_view uri;
    std::string_view local;
    if (namespaces_) {
        uri = name.uri;
        local = name.local;
    } else {
        const std::string_view whole = name.local;  // as written
        if (!element && (whole == "xmlns" || whole.starts_with("xmlns:"))) return false;
        const std::size_t colon = whole.find(':');
        local = colon == std::string_view::npos ? whole : whole.substr(colon + 1);
        const std::string_view prefix =
            colon == std::string_view::npos ? std::string_view() : whole.substr(0, colon);
        // An unprefixed attribute is in no namespace; an unprefixed element
        // in the default namespace in scope.
        if (!prefix.empty() || element) {
            const std::optional<std::string_view> bound = scope_.resolve(prefix);
            if (bound) uri = *bound;
        }
        if (uri.empty()) {
            out.assign(whole);
            return true;
        }
    }
    out.clear();
    if (uri.empty()) {
        out.assign(local);
        return true;
    }
    out.reserve(uri.size() + local.size() + 2);
    out += '{';
    out += uri;
    out += '}';
    out += local;
    return true;
}

void ElementBinder::catch_attributes(std::span<const AttributeView> attributes, Frame& frame,
                                     bool substituted) {
    const ClassSchema& schema = frame.schema();
    Value pairs;
    for (const AttributeView& a : attributes) {
        // Taken by a field exactly when binding the attributes took it.
        const bool taken =
            namespaces_
                ? find_expanded_field(schema, FieldRole::Attribute, {}, a.name).has_value()
                : find_field(schema, FieldRole::Attribute, local_name(a.name.local)).has_value();
        if (taken || !caught_name(a.name, false, caught_name_)) continue;
        if (substituted && (caught_name_ == TYPE_ATTRIBUTE || caught_name_ == "xsi:type")) continue;
        pairs.append(Value::string(arena_.copy(caught_name_)), arena_);
        pairs.append(Value::string(arena_.copy(a.value)), arena_);
    }
    if (pairs.is_absent()) return;
    ObjectValue* caught = ObjectValue::make(node::attributes_schema(), arena_);
    caught->slots[node::PAIRS] = pairs;
    frame.set(*schema.any_attributes, Value::object(caught));
}

void ElementBinder::open_caught(const ExpandedName& name,
                                std::span<const AttributeView> attributes) {
    OpenFrame& parent = stack_.back();
    parent.frame.end_text_run();  // mixed content keeps the caught element in its place
    if (stack_.size() >= limit_) {
        fail(BindError::depth_exceeded(limit_, stack_.size() + 1));
        return;
    }
    // The end event of a self-closing tag closes the caught element too.
    swallow_end_ = false;
    mode_ = Mode::Caught;
    caught_declarations_.clear();
    caught_element(name, attributes);
    // The element keeps every declaration in scope, the innermost of each
    // prefix, in the order of those declarations: a prefix declared again
    // inside takes the inner place, so that what is written from it reads back
    // in the same order.
    std::vector<std::pair<std::string_view, std::string_view>> in_scope;
    scope_.each([&in_scope](std::string_view prefix, std::string_view uri) {
        std::erase_if(in_scope, [prefix](const auto& binding) { return binding.first == prefix; });
        in_scope.emplace_back(prefix, uri);
    });
    for (const auto& [prefix, uri] : in_scope) caught_.declare(prefix, uri, arena_);
    reader_.report_nodes(true);
}

void ElementBinder::caught_element(const ExpandedName& name,
                                   std::span<const AttributeView> attributes) {
    const bool nested = caught_.depth() > 0;
    caught_name(name, true, caught_name_);
    caught_.open(caught_name_, arena_);
    for (const AttributeView& a : attributes) {
        if (caught_name(a.name, false, caught_name_)) {
            caught_.attribute(caught_name_, a.value, arena_);
        } else if (nested) {  // an xmlns attribute, when names come as written
            const std::string_view written = a.name.local;
            caught_.declare(written.size() > 5 ? written.substr(6) : std::string_view(), a.value,
                            arena_);
        }
    }
    if (nested) {
        for (const auto& [prefix, uri] : caught_declarations_) caught_.declare(prefix, uri, arena_);
    }
    caught_declarations_.clear();
}

void ElementBinder::leave_caught() noexcept {
    caught_.reset();
    caught_declarations_.clear();
    mode_ = Mode::InClass;
    reader_.report_nodes(false);
}

void ElementBinder::caught_start(const ExpandedName& name,
                                 std::span<const AttributeView> attributes) {
    // A self-closing tag's end event closes it like any other.
    swallow_end_ = false;
    const std::size_t depth = stack_.size() + caught_.depth();
    if (depth >= limit_) {
        fail(BindError::depth_exceeded(limit_, depth + 1));
        return;
    }
    caught_element(name, attributes);
}

void ElementBinder::caught_end() {
    const Value done = caught_.close(arena_);
    if (done.is_absent()) return;
    leave_caught();
    const ClassSchema& schema = stack_.back().frame.schema();
    deliver(*schema.any_elements, done, schema.any_member);
}

void ElementBinder::on_comment(const char* text) noexcept {
    if (mode_ == Mode::Caught) caught_.comment(text, arena_);
}

void ElementBinder::on_instruction(const char* target, const char* text) noexcept {
    if (mode_ == Mode::Caught) caught_.instruction(target, text, arena_);
}

}  // namespace kestrix::detail
