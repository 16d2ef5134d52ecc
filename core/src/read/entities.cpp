// core/src/read/entities.cpp: the declarations XmlReader keeps, and their use in content and
// start tags: entity references replaced, attribute values typed and defaulted.
#include "entities.hpp"

#include <algorithm>

#include "xml_chars.hpp"
#include "xml_reader.hpp"

namespace kestrix::detail {

namespace {

/// How deep entity references may nest, in content or in an attribute value.
constexpr std::size_t MAX_ENTITY_DEPTH = 64;

/// Replacement text may amount to this many times the input read so far,
/// once it exceeds `AMPLIFICATION_START` bytes in all.
constexpr std::uint64_t MAX_AMPLIFICATION = 100;
constexpr std::uint64_t AMPLIFICATION_START = 8u << 20;

/// Specified attributes times declared ones above which a start tag's
/// defaults are found by sorted names rather than by comparing every pair.
constexpr std::size_t PAIRWISE_DECLS = 64;

}  // namespace

bool Dtd::declare(Entity entity) {
    if (entities_.find(entity.name) != entities_.end()) return false;
    Entity& kept = entity_store_.emplace_back(std::move(entity));
    entities_.emplace(kept.name, &kept);
    return true;
}

void Dtd::declare_attribute(std::string_view element, AttributeDecl decl) {
    auto found = elements_.find(element);
    if (found == elements_.end()) {
        const std::string& key = element_names_.emplace_back(element);
        found = elements_.emplace(key, ElementDecls{}).first;
    }
    ElementDecls& decls = found->second;
    for (const AttributeDecl& a : decls.attributes) {
        if (a.name == decl.name) return;
    }
    decls.any_default = decls.any_default || decl.has_default;
    decls.any_typed = decls.any_typed || !decl.cdata;
    decls.attributes.push_back(std::move(decl));
}

XmlReader::Input XmlReader::switch_input(Input to) noexcept {
    const Input was{pos_, end_};
    pos_ = to.pos;
    end_ = to.end;
    return was;
}

std::uint64_t XmlReader::offset_in_entity() const noexcept {
    // Replacement text read into an attribute value reports its start tag.
    const char* const at = !entities_.empty() ? entities_.front().reference : tag_;
    return base_ + static_cast<std::uint64_t>(at - begin_);
}

bool XmlReader::account(std::size_t bytes, const char* at) {
    expanded_ += bytes;
    const std::uint64_t direct = offset_of(at) + 1;
    const std::uint64_t total = direct + expanded_;
    if (total >= AMPLIFICATION_START && total / direct >= MAX_AMPLIFICATION) {
        return fail(XML_ERROR_AMPLIFICATION_LIMIT_BREACH, at);
    }
    return true;
}

const char* XmlReader::attribute_reference(const char* amp) const noexcept {
    return attribute_depth_ > 0 ? tag_ : amp;
}

bool XmlReader::named_reference(std::string_view name, const char* amp, const char* after,
                                std::string* out) {
    Entity* entity = dtd_ ? dtd_->entity(name) : nullptr;
    pos_ = after;
    // In an attribute value, a fault waits for the end of the start tag (see
    // defer), at the tag or at the reference that stands in the document.
    XML_Error fault = XML_ERROR_NONE;
    const char* at = amp;
    if (entity == nullptr) {
        if (out == nullptr || deferred_code_ == XML_ERROR_NONE)
            undefined_entity_ = std::string(name);
        fault = XML_ERROR_UNDEFINED_ENTITY;
        at = out != nullptr ? tag_ : amp;
    } else if (entity->open) {
        fault = XML_ERROR_RECURSIVE_ENTITY_REF;
        at = out != nullptr ? tag_ : amp;
    } else if (entity->unparsed) {
        fault = XML_ERROR_BINARY_ENTITY_REF;
        at = attribute_reference(amp);
    } else if (entity->external) {
        if (out == nullptr) return true;  // never loaded: the reference is skipped
        fault = XML_ERROR_ATTRIBUTE_EXTERNAL_ENTITY_REF;
        at = attribute_reference(amp);
    }
    if (fault != XML_ERROR_NONE) {
        if (out == nullptr) return fail(fault, at);
        defer(fault, at);
        return true;
    }
    if (entities_.size() + attribute_depth_ >= MAX_ENTITY_DEPTH) {
        return fail(XML_ERROR_AMPLIFICATION_LIMIT_BREACH, out != nullptr ? tag_ : amp);
    }
    if (!account(entity->text.size(), amp)) return false;
    const Input text{entity->text.data(), entity->text.data() + entity->text.size()};
    if (out == nullptr) {
        // Content: the replacement text is read in place of the reference,
        // until content() meets its end and calls leave_entity().
        const Input was = switch_input(text);
        entities_.push_back(EntityFrame{entity, amp, after, was.end, open_.size()});
        entity->open = true;
        return true;
    }
    // An attribute value: the replacement text normalized into `out`, its
    // references replaced in turn (to a depth bounded above).
    entity->open = true;
    ++attribute_depth_;
    const Input was = switch_input(text);
    const Phase phase = phase_;
    bool ok = true;
    while (ok && pos_ < end_) {
        const char c = *pos_;
        if (c == '&') {
            ok = reference(out);
            // A malformed reference in the replacement text (one its end
            // cuts included) waits for the end of the start tag as the other
            // faults of references do: a fault in the tag as written comes
            // first, as with expat.
            if (!ok && (error_code_ == XML_ERROR_UNCLOSED_TOKEN ||
                        error_code_ == XML_ERROR_INVALID_TOKEN)) {
                error_code_ = XML_ERROR_NONE;
                phase_ = phase;
                defer(XML_ERROR_INVALID_TOKEN, tag_);
                ok = true;
                break;
            }
        } else if (c == '<') {
            defer(XML_ERROR_INVALID_TOKEN, tag_);
            break;
        } else if (c == '\t' || c == '\n' || c == '\r') {
            *out += ' ';
            ++pos_;
        } else {
            const char* run = pos_;
            while (pos_ < end_ && *pos_ != '&' && *pos_ != '<' && *pos_ != '\t' && *pos_ != '\n' &&
                   *pos_ != '\r')
                ++pos_;
            out->append(run, pos_);
        }
    }
    --attribute_depth_;
    entity->open = false;
    switch_input(ok ? Input{after, was.end} : was);
    return ok;
}

bool XmlReader::leave_entity() {
    const EntityFrame frame = entities_.back();
    // An element the replacement text started must end in it.
    if (open_.size() != frame.depth) return fail(XML_ERROR_ASYNC_ENTITY, pos_);
    frame.entity->open = false;
    entities_.pop_back();
    switch_input({frame.resume, frame.end});
    return true;
}

std::size_t collapse_spaces(char* value, std::size_t length) noexcept {
    std::size_t out = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (value[i] == ' ' && (out == 0 || value[out - 1] == ' ')) continue;
        value[out++] = value[i];
    }
    if (out > 0 && value[out - 1] == ' ') --out;
    return out;
}

bool XmlReader::apply_declarations(std::string_view element) {
    const ElementDecls* decls = dtd_->element(element);
    if (decls == nullptr) return true;
    const std::size_t specified = attributes_.size();
    if (decls->any_typed) {
        for (std::size_t i = 0; i < specified; ++i) {
            Attribute& a = attributes_[i];
            for (const AttributeDecl& d : decls->attributes) {
                if (d.name != a.name) continue;
                if (!d.cdata)
                    a.value_length = collapse_spaces(values_.data() + a.value, a.value_length);
                break;
            }
        }
    }
    if (!decls->any_default) return true;
    const bool sorted = specified * decls->attributes.size() > PAIRWISE_DECLS;
    if (sorted) {
        names_seen_.clear();
        for (std::size_t i = 0; i < specified; ++i) names_seen_.push_back(attributes_[i].name);
        std::sort(names_seen_.begin(), names_seen_.end());
    }
    for (const AttributeDecl& d : decls->attributes) {
        if (!d.has_default) continue;
        bool given = false;
        if (sorted) {
            given = std::binary_search(names_seen_.begin(), names_seen_.end(),
                                       std::string_view(d.name));
        } else {
            for (std::size_t i = 0; i < specified && !given; ++i)
                given = attributes_[i].name == d.name;
        }
        if (given) continue;
        if (!account(d.value.size(), tag_)) return false;
        const std::size_t value = values_.size();
        values_ += d.value;
        attributes_.push_back(Attribute{d.name, value, d.value.size()});
    }
    return true;
}

}  // namespace kestrix::detail
