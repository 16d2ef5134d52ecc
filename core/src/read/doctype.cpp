// core/src/read/doctype.cpp: the document type declaration read by XmlReader: its internal
// subset's markup declarations checked against their grammar, entities and attribute
// declarations kept.
#include <cstring>
#include <string>

#include "entities.hpp"
#include "xml_chars.hpp"
#include "xml_reader.hpp"

namespace kestrix::detail {

namespace {

/// True when `c` (a byte) may stand in a public identifier.
bool is_pubid_char(unsigned char c) noexcept {
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
    if (c >= '0' && c <= '9') return true;
    return std::string_view(" \r\n-'()+,./:=?;!*#@$_%").find(static_cast<char>(c)) !=
           std::string_view::npos;
}

}  // namespace

bool XmlReader::declared_name(const char* name_end) {
    if (colon_in(pos_, name_end) == nullptr) return true;
    // Fed input waits for the name's end first, so that a fault in the bytes
    // after it comes first, as when the input is held whole.
    if (name_end == end_ && more_may_come()) return need_input();
    return fail(XML_ERROR_SYNTAX, pos_);
}

bool XmlReader::syntax_fault(const char* at) {
    if (at >= end_) return fail(XML_ERROR_NO_ELEMENTS, end_);
    // A token out of place is a syntax error; a character that starts no
    // token, or a name or literal followed by one that may not follow it,
    // is not well-formed.
    const auto u = static_cast<unsigned char>(*at);
    const char* p = at;
    std::string_view followers;
    if (u == '"' || u == '\'') {
        p = static_cast<const char*>(
            std::memchr(at + 1, u, static_cast<std::size_t>(end_ - at - 1)));
        if (p == nullptr) return fail(XML_ERROR_NO_ELEMENTS, end_);
        ++p;
        followers = ">[%";
    } else if (u >= 0x80 || (ASCII_CLASS[u] & NAME) != 0) {
        p = name_run(p, end_).end;  // bytes that are no character end the name
        if (p == at) {              // not a name character
            if (!check_char(p, end_)) return false;
            return fail(XML_ERROR_INVALID_TOKEN, at);
        }
        followers = ")|,[%?*+>";
    } else {
        const bool starts_token =
            is_space(u) ||
            std::string_view("#()|,>[]%<").find(static_cast<char>(u)) != std::string_view::npos;
        return fail(starts_token ? XML_ERROR_SYNTAX : XML_ERROR_INVALID_TOKEN, at);
    }
    if (p == end_) return fail(XML_ERROR_NO_ELEMENTS, end_);
    const auto next = static_cast<unsigned char>(*p);
    if (!is_space(next) && followers.find(static_cast<char>(next)) == std::string_view::npos) {
        if (next >= 0x80 && !check_char(p, end_)) return false;
        return fail(XML_ERROR_INVALID_TOKEN, p);
    }
    return fail(XML_ERROR_SYNTAX, at);
}

bool XmlReader::skip_space() noexcept {
    const char* const before = pos_;
    while (!at_end() && is_space(static_cast<unsigned char>(*pos_))) ++pos_;
    return pos_ != before;
}

bool XmlReader::require_space(const char*) {
    if (skip_space()) {
        if (at_end()) return fail(XML_ERROR_NO_ELEMENTS, end_);
        return true;
    }
    return syntax_fault(pos_);
}

bool XmlReader::keyword(std::string_view word) noexcept {
    if (!looking_at(word)) return false;
    pos_ += word.size();
    return true;
}

bool XmlReader::doctype() {
    const char* const start = pos_;
    in_doctype_ = true;
    pos_ += 9;  // <!DOCTYPE
    if (!require_space(start)) return false;
    const char* const name_end = name(namespaces_);
    if (name_end == nullptr) return false;
    pos_ = name_end;
    dtd_ = std::make_unique<Dtd>();
    const bool spaced = skip_space();
    if (at_end()) return fail(XML_ERROR_NO_ELEMENTS, end_);
    if (*pos_ == 'S' || *pos_ == 'P') {
        if (!spaced) return syntax_fault(pos_);
        // An external subset is never loaded; what that leaves unread is
        // expat's to decide.
        declined_ = true;
        return false;
    }
    if (*pos_ == '[') {
        ++pos_;
        while (true) {
            skip_space();
            if (at_end()) return fail(XML_ERROR_NO_ELEMENTS, end_);
            const char c = *pos_;
            if (c == ']') {
                ++pos_;
                break;
            }
            if (c == '%') {  // a parameter entity between declarations: as above
                declined_ = true;
                return false;
            }
            if (c != '<') {
                const char* p = pos_;
                if (!check_char(p, end_)) return false;
                return syntax_fault(pos_);
            }
            if (!markup_declaration()) return false;
        }
        skip_space();
    }
    if (at_end()) return fail(XML_ERROR_NO_ELEMENTS, end_);
    if (*pos_ != '>') return syntax_fault(pos_);
    ++pos_;
    in_doctype_ = false;
    return true;
}

bool XmlReader::markup_declaration() {
    const char* const start = pos_;
    if (looking_at("<?")) return processing_instruction();
    if (looking_at("<!--")) return comment();
    if (keyword("<!ELEMENT")) return element_declaration(start);
    if (keyword("<!ATTLIST")) return attlist_declaration(start);
    if (keyword("<!ENTITY")) return entity_declaration(start);
    if (keyword("<!NOTATION")) return notation_declaration(start);
    // A keyword cut short by the end of the input.
    const std::string_view rest(pos_, static_cast<std::size_t>(end_ - pos_));
    for (const std::string_view word :
         {"<!ELEMENT", "<!ATTLIST", "<!ENTITY", "<!NOTATION", "<!--"}) {
        if (rest.size() < word.size() && word.starts_with(rest)) {
            return fail(XML_ERROR_NO_ELEMENTS, end_);
        }
    }
    // Otherwise the markup is malformed where it stops being a keyword.
    const char* p = pos_ + 1;
    if (p < end_ && *p == '!') {
        ++p;
        while (p < end_ && ((*p | 0x20) >= 'a' && (*p | 0x20) <= 'z')) ++p;
    }
    if (p == end_) return fail(XML_ERROR_NO_ELEMENTS, end_);
    return fail(XML_ERROR_INVALID_TOKEN, p);
}

bool XmlReader::element_declaration(const char* start) {
    if (!require_space(start)) return false;
    const char* const name_end = name(namespaces_);
    if (name_end == nullptr) return false;
    pos_ = name_end;
    if (!require_space(start)) return false;
    if (keyword("EMPTY") || keyword("ANY")) {
        // nothing more
    } else if (*pos_ == '(') {
        if (!content_model(start)) return false;
    } else {
        return syntax_fault(pos_);
    }
    skip_space();
    if (at_end()) return fail(XML_ERROR_NO_ELEMENTS, end_);
    if (*pos_ != '>') return syntax_fault(pos_);
    ++pos_;
    return true;
}

bool XmlReader::content_model(const char*) {
    const auto truncated = [&] { return fail(XML_ERROR_NO_ELEMENTS, end_); };
    const auto modifier = [&] {
        if (!at_end() && (*pos_ == '?' || *pos_ == '*' || *pos_ == '+')) ++pos_;
    };
    ++pos_;  // (
    skip_space();
    if (keyword("#PCDATA")) {
        // Mixed content: names after it, and then the group repeats.
        bool names = false;
        while (true) {
            skip_space();
            if (at_end()) return truncated();
            if (*pos_ == ')') {
                ++pos_;
                if (!at_end() && *pos_ == '*') {
                    ++pos_;
                } else if (names) {
                    return syntax_fault(pos_ - 1);  // at the group's end
                }
                return true;
            }
            if (*pos_ != '|') return syntax_fault(pos_);
            ++pos_;
            skip_space();
            const char* const name_end = name(namespaces_);
            if (name_end == nullptr) return false;
            pos_ = name_end;
            names = true;
        }
    }
    // Element content: nested choices and sequences, one separator per group.
    // Walked with a stack of the open groups, whatever their depth.
    std::string separators(1, '\0');  // '\0' until a group's first separator
    while (true) {
        if (at_end()) return truncated();
        if (*pos_ == '(') {
            ++pos_;
            skip_space();
            separators += '\0';
            continue;
        }
        const char* const name_end = name(namespaces_);
        if (name_end == nullptr) return false;
        pos_ = name_end;
        modifier();
        while (true) {
            skip_space();
            if (at_end()) return truncated();
            const char c = *pos_;
            if (c == ')') {
                ++pos_;
                separators.pop_back();
                modifier();
                if (separators.empty()) return true;
                continue;
            }
            if (c != '|' && c != ',') return syntax_fault(pos_);
            if (separators.back() != '\0' && separators.back() != c) {
                return syntax_fault(pos_);
            }
            separators.back() = c;
            ++pos_;
            skip_space();
            break;
        }
    }
}

bool XmlReader::attlist_declaration(const char* start) {
    if (!require_space(start)) return false;
    const char* name_end = name(namespaces_);
    if (name_end == nullptr) return false;
    const std::string_view element(pos_, static_cast<std::size_t>(name_end - pos_));
    pos_ = name_end;
    while (true) {
        const bool spaced = skip_space();
        if (at_end()) return fail(XML_ERROR_NO_ELEMENTS, end_);
        if (*pos_ == '>') {
            ++pos_;
            return true;
        }
        if (!spaced) return syntax_fault(pos_);
        name_end = name(namespaces_);
        if (name_end == nullptr) return false;
        AttributeDecl decl;
        decl.name.assign(pos_, name_end);
        pos_ = name_end;
        if (!require_space(start)) return false;
        const char* const type = pos_;
        const bool notation = keyword("NOTATION");
        if (!notation && keyword("CDATA")) {
            decl.cdata = true;
        } else if (notation || keyword("IDREFS") || keyword("IDREF") || keyword("ID") ||
                   keyword("ENTITIES") || keyword("ENTITY") || keyword("NMTOKENS") ||
                   keyword("NMTOKEN") || (!at_end() && *pos_ == '(')) {
            decl.cdata = false;
            if (notation && !require_space(start)) return false;
            // An enumeration stands alone or after NOTATION: a tokenized
            // type's keyword may not run into one.
            if (!at_end() && *pos_ == '(' && (notation || pos_ == type)) {
                // An enumeration: name tokens (names after NOTATION) between bars.
                ++pos_;
                while (true) {
                    skip_space();
                    if (at_end()) return fail(XML_ERROR_NO_ELEMENTS, end_);
                    const char* p = pos_;
                    if (notation) {
                        p = name(namespaces_);
                        if (p == nullptr) return false;
                        if (!declared_name(p)) return false;
                    } else {
                        const NameRun run = name_run(p, end_);
                        if (run.non_ascii) non_ascii_name_ = true;
                        if (run.fault != XML_ERROR_NONE) return fail(run.fault, run.end);
                        p = run.end;
                        if (p == pos_) {
                            return syntax_fault(p);
                        }
                    }
                    pos_ = p;
                    skip_space();
                    if (at_end()) return fail(XML_ERROR_NO_ELEMENTS, end_);
                    if (*pos_ == ')') {
                        ++pos_;
                        break;
                    }
                    if (*pos_ != '|') return syntax_fault(pos_);
                    ++pos_;
                }
            } else if (notation) {
                return syntax_fault(pos_);
            }
        } else {
            return syntax_fault(pos_);
        }
        if (!require_space(start)) return false;
        if (keyword("#REQUIRED") || keyword("#IMPLIED")) {
            // no default
        } else {
            if (keyword("#FIXED") && !require_space(start)) return false;
            if (*pos_ != '"' && *pos_ != '\'') return syntax_fault(pos_);
            // Its references are replaced now, failing at the literal.
            tag_ = pos_;
            const char quote = *pos_++;
            values_.clear();
            if (!attribute_value<Scan::Bytes>(quote)) return false;
            if (deferred_code_ != XML_ERROR_NONE) return fail(deferred_code_, deferred_at_);
            decl.value = values_;
            if (!decl.cdata)
                decl.value.resize(collapse_spaces(decl.value.data(), decl.value.size()));
            decl.has_default = true;
        }
        dtd_->declare_attribute(element, std::move(decl));
    }
}

bool XmlReader::entity_declaration(const char* start) {
    if (!require_space(start)) return false;
    bool parameter = false;
    if (*pos_ == '%') {
        parameter = true;
        ++pos_;
        if (!require_space(start)) return false;
    }
    const char* const name_end = name(false);
    if (name_end == nullptr) return false;
    if (!declared_name(name_end)) return false;
    Entity entity;
    entity.name.assign(pos_, name_end);
    pos_ = name_end;
    if (!require_space(start)) return false;
    if (*pos_ == '"' || *pos_ == '\'') {
        if (!entity_value(entity.text)) return false;
    } else {
        if (!external_id(start, false)) return false;
        entity.external = true;
        if (!parameter) {
            const bool spaced = skip_space();
            if (keyword("NDATA")) {
                if (!spaced) return syntax_fault(pos_ - 5);
                if (!require_space(start)) return false;
                const char* const notation = name(namespaces_);
                if (notation == nullptr) return false;
                if (!declared_name(notation)) return false;
                pos_ = notation;
                entity.unparsed = true;
            }
        }
    }
    skip_space();
    if (at_end()) return fail(XML_ERROR_NO_ELEMENTS, end_);
    if (*pos_ != '>') return syntax_fault(pos_);
    ++pos_;
    // A parameter entity is kept nowhere: a reference to one is not taken.
    if (!parameter) dtd_->declare(std::move(entity));
    return true;
}

bool XmlReader::entity_value(std::string& out) {
    const char quote = *pos_++;
    while (true) {
        if (at_end()) return fail(XML_ERROR_NO_ELEMENTS, end_);
        const char c = *pos_;
        if (c == quote) {
            ++pos_;
            return true;
        }
        if (c == '%') {  // a parameter-entity reference: not taken
            declined_ = true;
            return false;
        }
        if (c == '&') {
            if (!at_end(1) && pos_[1] == '#') {
                tag_ = pos_;
                if (!reference(&out)) return false;
                // A bad character fails here, at its reference.
                if (deferred_code_ != XML_ERROR_NONE) return fail(deferred_code_, deferred_at_);
                continue;
            }
            // A general entity's reference stays as written, to be replaced
            // where this entity is.
            const char* const amp = pos_;
            ++pos_;
            const char* const name_end = name(false);
            if (name_end == nullptr) return false;
            // Faults of the value's bytes come first, so a colon counts only
            // once the name is read whole: fed input then waits for its end.
            if (name_end == end_) return fail(XML_ERROR_NO_ELEMENTS, end_);
            if (const char* colon = colon_in(pos_, name_end)) {
                return fail(XML_ERROR_INVALID_TOKEN, colon);
            }
            if (*name_end != ';') return fail(XML_ERROR_INVALID_TOKEN, amp);
            out.append(amp, name_end + 1);
            pos_ = name_end + 1;
            continue;
        }
        if (c == '\r') {
            out += '\n';
            ++pos_;
            if (!at_end() && *pos_ == '\n') ++pos_;
            continue;
        }
        const char* p = pos_;
        if (!check_char(p, end_)) return false;
        out.append(pos_, p);
        pos_ = p;
    }
}

bool XmlReader::external_id(const char* start, bool public_alone) {
    if (keyword("SYSTEM")) {
        return require_space(start) && quoted_literal(start, false);
    }
    if (!keyword("PUBLIC")) return syntax_fault(pos_);
    if (!require_space(start) || !quoted_literal(start, true)) return false;
    if (public_alone) {
        // A notation may name a public identifier alone.
        const bool spaced = skip_space();
        if (at_end() || (*pos_ != '"' && *pos_ != '\'')) return true;
        if (!spaced) return syntax_fault(pos_);
        return quoted_literal(start, false);
    }
    return require_space(start) && quoted_literal(start, false);
}

bool XmlReader::quoted_literal(const char*, bool pubid) {
    if (*pos_ != '"' && *pos_ != '\'') return syntax_fault(pos_);
    const char quote = *pos_++;
    while (true) {
        if (at_end()) return fail(XML_ERROR_NO_ELEMENTS, end_);
        if (*pos_ == quote) {
            ++pos_;
            return true;
        }
        if (pubid && !is_pubid_char(static_cast<unsigned char>(*pos_))) {
            return fail(XML_ERROR_INVALID_TOKEN, pos_);
        }
        if (!check_char(pos_, end_)) return false;
    }
}

bool XmlReader::notation_declaration(const char* start) {
    if (!require_space(start)) return false;
    const char* const name_end = name(namespaces_);
    if (name_end == nullptr) return false;
    if (!declared_name(name_end)) return false;
    pos_ = name_end;
    if (!require_space(start) || !external_id(start, true)) return false;
    skip_space();
    if (at_end()) return fail(XML_ERROR_NO_ELEMENTS, end_);
    if (*pos_ != '>') return syntax_fault(pos_);
    ++pos_;
    return true;
}

}  // namespace kestrix::detail
