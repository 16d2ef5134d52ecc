// core/src/write/catch_all_writer.cpp: generic nodes and caught attributes as XML.
#include "catch_all_writer.hpp"

#include "kestrix/catch_all.hpp"
#include "kestrix/namespaces.hpp"
#include "kestrix/qname.hpp"

namespace kestrix::detail {

namespace {

/// True for a byte that cannot stand in a name: white space, markup and
/// punctuation, control characters.
bool unnamed(unsigned char c) noexcept {
    if (c < 0x20 || c == 0x7F) return true;
    switch (c) {
        case ' ':
        case '<':
        case '>':
        case '&':
        case '"':
        case '\'':
        case '=':
        case '/':
        case '?':
        case '!':
        case '{':
        case '}':
        case '(':
        case ')':
        case '[':
        case ']':
        case ';':
        case ',':
        case '`':
        case '|':
        case '\\':
        case '^':
        case '%':
        case '*':
        case '+':
        case '@':
        case '#':
        case '$':
        case '~':
            return true;
        default:
            return false;
    }
}

/// A name the writer can put in a tag: not empty, none of the bytes above,
/// not starting with a digit, '-', '.' or ':', and (`colons`) at most one
/// colon, not last.
bool is_name(std::string_view name, bool colons) noexcept {
    if (name.empty() || name.back() == ':') return false;
    const char first = name.front();
    if ((first >= '0' && first <= '9') || first == '-' || first == '.' || first == ':') {
        return false;
    }
    std::size_t seen = 0;
    for (const char c : name) {
        if (unnamed(static_cast<unsigned char>(c))) return false;
        if (c == ':' && (!colons || ++seen > 1)) return false;
    }
    return true;
}

/// True when `text` holds a character XML 1.0 cannot carry.
bool unwritable_text(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return true;
        // U+FFFE and U+FFFF: EF BF BE, EF BF BF
        if (c == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
            (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
            return true;
        }
    }
    return false;
}

}  // namespace

Status CatchAllWriter::failure(const std::string& what) const {
    return BindError::serialization(what + " in field '" + field_.name + "' of " + owner_.name +
                                    " cannot be written");
}

std::optional<std::string_view> CatchAllWriter::bound(std::string_view prefix) const noexcept {
    for (std::size_t i = scope_.size(); i-- > 0;) {
        if (scope_[i].first == prefix) return std::string_view(scope_[i].second);
    }
    return prefixes_.bound(prefix);
}

Status CatchAllWriter::written_name(std::string_view name, bool element, std::string_view& inside,
                                    Declarations& declare, std::string& out) {
    const char* const kind = element ? "the element name '" : "the attribute name '";
    const auto undeclare_default = [&] {
        if (!element || inside.empty()) return;
        inside = {};
        for (auto& [prefix, uri] : declare) {
            if (prefix.empty()) {
                uri.clear();
                return;
            }
        }
        declare.emplace_back(std::string(), std::string());
    };
    if (!name.starts_with('{')) {
        // In no namespace, or a prefix the document bound to nothing: as written.
        if (!is_name(name, true) || (!element && (name == "xmlns" || name.starts_with("xmlns:")))) {
            return failure(kind + std::string(name) + "'");
        }
        const std::size_t colon = name.find(':');
        if (colon == std::string_view::npos) {
            undeclare_default();
        } else if (bound(name.substr(0, colon))) {
            // The written document binds that prefix: the name would change meaning.
            return failure(kind + std::string(name) + "', whose prefix the document binds,");
        } else {
            prefixes_.reserve(name.substr(0, colon));
        }
        out.assign(name);
        return {};
    }
    const std::optional<ClarkName> clark = split_clark(name);
    if (!clark || !is_name(clark->local, false)) return failure(kind + std::string(name) + "'");
    if (clark->uri.empty()) {
        undeclare_default();
        out.assign(clark->local);
        return {};
    }
    if (element && clark->uri == inside) {
        out.assign(clark->local);
        return {};
    }
    // A prefix an open caught element declares for the namespace, and that
    // nothing inner declares otherwise.
    for (std::size_t i = scope_.size(); i-- > 0;) {
        const std::string& prefix = scope_[i].first;
        if (prefix.empty() || scope_[i].second != clark->uri) continue;
        if (bound(prefix) != std::optional<std::string_view>(clark->uri)) continue;
        out = prefix + ":" + std::string(clark->local);
        return {};
    }
    if (!prefixes_.text(name, {}, out, error_)) return failure(kind + std::string(name) + "'");
    const std::string_view prefix = std::string_view(out).substr(0, out.find(':'));
    if (bound(prefix) == std::optional<std::string_view>(clark->uri)) return {};
    // The root's prefix is declared otherwise in here: another the root binds
    // to the namespace, that holds here, else one of the element's own (a new
    // prefix on every pass would grow a document each time it is written).
    for (const std::string_view other : prefixes_.prefixes_for(clark->uri)) {
        if (bound(other) == std::optional<std::string_view>(clark->uri)) {
            out = std::string(other) + ":" + std::string(clark->local);
            return {};
        }
    }
    std::string fresh;
    do {
        fresh = "ns" + std::to_string(generated_++) + "_";
    } while (bound(fresh).has_value());
    declare.emplace_back(fresh, std::string(clark->uri));
    scope_.emplace_back(fresh, std::string(clark->uri));
    out = fresh + ":" + std::string(clark->local);
    return {};
}

Status CatchAllWriter::attributes(const Value& value, const ObjectValue& object) {
    if (value.kind() != Value::Kind::Object ||
        value.as_object().schema != &node::attributes_schema()) {
        return {};
    }
    const ValueList pairs = node::list_of(value.as_object(), node::PAIRS);
    Declarations unused;
    std::string_view inside;
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
        if (pairs[i].kind() != Value::Kind::Str || pairs[i + 1].kind() != Value::Kind::Str) {
            return failure("an attribute that is no text");
        }
        Status s = written_name(pairs[i].as_str(), false, inside, unused, scratch_);
        if (!s) return s;
        // An attribute the class writes from a field of its own would be written twice.
        for (std::size_t f = 0; f < owner_.fields.size(); ++f) {
            const FieldSchema& other = owner_.fields[f];
            if (other.role == FieldRole::Attribute && !object.slots[f].is_absent() &&
                !object.slots[f].is_null() && other.xml_name == scratch_) {
                return failure("the attribute '" + scratch_ + "', which field '" + other.name +
                               "' writes too,");
            }
        }
        if (!writer_.attribute(scratch_, pairs[i + 1].as_str())) {
            return unwritable(writer_.rejected(), field_, owner_);
        }
    }
    return {};
}

Status CatchAllWriter::text(std::string_view text) {
    if (!text.empty() && !writer_.text(text)) return unwritable(writer_.rejected(), field_, owner_);
    return {};
}

Status CatchAllWriter::node(const Value& value, std::string_view default_ns, bool tail) {
    if (value.kind() != Value::Kind::Object) {
        return BindError::serialization("Expected a node for field '" + field_.name + "' of " +
                                        owner_.name);
    }
    const ObjectValue& object = value.as_object();
    if (object.schema == &node::element_schema()) {
        Status s = element(object, default_ns);
        if (!s || !tail) return s;
        return text(node::text_of(object, node::TAIL));
    }
    if (object.schema == &node::comment_schema()) {
        const std::string_view body = node::text_of(object, node::COMMENT_TEXT);
        if (body.find("--") != std::string_view::npos || body.ends_with('-') ||
            unwritable_text(body)) {
            return failure("the comment '" + std::string(body) + "'");
        }
        scratch_.assign("<!--");
        scratch_ += body;
        scratch_ += "-->";
        writer_.markup(scratch_);
        return tail ? text(node::text_of(object, node::COMMENT_TAIL)) : Status();
    }
    if (object.schema == &node::instruction_schema()) {
        const std::string_view target = node::text_of(object, node::PI_TARGET);
        const std::string_view body = node::text_of(object, node::PI_TEXT);
        const bool xml = target.size() == 3 && (target[0] | 0x20) == 'x' &&
                         (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l';
        if (!is_name(target, false) || xml || body.find("?>") != std::string_view::npos ||
            unwritable_text(body)) {
            return failure("the processing instruction '" + std::string(target) + "'");
        }
        scratch_.assign("<?");
        scratch_ += target;
        if (!body.empty()) {
            scratch_ += ' ';
            scratch_ += body;
        }
        scratch_ += "?>";
        writer_.markup(scratch_);
        return tail ? text(node::text_of(object, node::PI_TAIL)) : Status();
    }
    return BindError::serialization("Expected a node for field '" + field_.name + "' of " +
                                    owner_.name);
}

Status CatchAllWriter::element(const ObjectValue& node, std::string_view default_ns) {
    if (writer_.depth >= MAX_DEPTH) return BindError::depth_exceeded(MAX_DEPTH, writer_.depth + 1);
    const std::size_t mark = scope_.size();
    std::string_view inside = default_ns;
    Declarations declare;
    // The declarations the element kept, where the output binds them otherwise.
    const ValueList kept = node::list_of(node, node::NAMESPACES);
    for (std::size_t i = 0; i + 1 < kept.size(); i += 2) {
        if (kept[i].kind() != Value::Kind::Str || kept[i + 1].kind() != Value::Kind::Str) continue;
        const std::string_view prefix = kept[i].as_str();
        const std::string_view uri = kept[i + 1].as_str();
        if (prefix.empty()) {
            // The default namespace, which unprefixed values take.
            if (uri == inside) continue;
            inside = uri;
        } else {
            if (prefix == "xml" || prefix == "xmlns" || !is_name(prefix, false) || uri.empty() ||
                bound(prefix) == std::optional<std::string_view>(uri)) {
                continue;
            }
            // Declared on the root when the prefix is free everywhere, as
            // documents mostly declare their prefixes; else on the element.
            bool local = false;
            for (const auto& binding : scope_) local = local || binding.first == prefix;
            if (!local && prefixes_.adopt(prefix, uri)) {
                scope_.emplace_back(prefix, uri);  // the prefix names take, written on the root
                continue;
            }
            scope_.emplace_back(prefix, uri);
        }
        declare.emplace_back(prefix, uri);
    }
    std::string name;
    Status s = written_name(node::text_of(node, node::TAG), true, inside, declare, name);
    const ValueList pairs = node::list_of(node, node::ATTRIBUTES);
    std::vector<std::string> attribute_names(pairs.size() / 2);
    for (std::size_t i = 0; s && i + 1 < pairs.size(); i += 2) {
        if (pairs[i].kind() != Value::Kind::Str || pairs[i + 1].kind() != Value::Kind::Str) {
            s = failure("an attribute that is no text");
            break;
        }
        s = written_name(pairs[i].as_str(), false, inside, declare, attribute_names[i / 2]);
    }
    if (s) {
        writer_.open_start_tag(name);
        for (const auto& [prefix, uri] : declare) {
            const bool ok = prefix.empty() ? writer_.attribute("xmlns", uri)
                                           : writer_.attribute("xmlns", prefix, uri);
            if (!ok) {
                s = unwritable_namespace(writer_.rejected());
                break;
            }
        }
    }
    for (std::size_t i = 0; s && i + 1 < pairs.size(); i += 2) {
        if (!writer_.attribute(attribute_names[i / 2], pairs[i + 1].as_str())) {
            s = unwritable(writer_.rejected(), field_, owner_);
        }
    }
    if (!s) {
        scope_.resize(mark);
        return s;
    }
    writer_.close_start_tag();
    writer_.begin_compact();
    ++writer_.depth;
    s = text(node::text_of(node, node::TEXT));
    for (const Value& child : node::list_of(node, node::CHILDREN)) {
        if (!s) break;
        s = this->node(child, inside, true);
    }
    --writer_.depth;
    writer_.end_tag(name);
    writer_.end_compact();
    scope_.resize(mark);
    return s;
}

}  // namespace kestrix::detail
