// core/src/read/xml_reader.cpp: the tokenizer of XmlReader, markup by a state machine, runs in
// blocks.
#include "xml_reader.hpp"

#include <algorithm>
#include <cstring>

#include "entities.hpp"
#include "stray_markup.hpp"
#include "transcode.hpp"
#include "xml_chars.hpp"

namespace kestrix::detail {

namespace {

constexpr RunStops TEXT_STOPS{'<', '&', ']', true};
constexpr RunStops COMMENT_STOPS{'-', '-', '-', true};
constexpr RunStops PI_STOPS{'?', '?', '?', true};
constexpr RunStops CDATA_STOPS{']', ']', ']', true};

/// The longest markup opening told by its bytes ("<![CDATA[", "<!DOCTYPE"):
/// fed input reads markup that starts closer to the end of a chunk again
/// with more.
constexpr std::ptrdiff_t LONGEST_OPENING = 9;

/// True for the characters a value in the XML declaration may hold.
bool is_declaration_value_char(char c) noexcept {
    return ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

/// Fed input: how close to the end of a chunk a fault in a document type
/// declaration may be one that more input reads otherwise (a keyword cut).
constexpr std::ptrdiff_t NEAR_END = 16;

/// Attribute counts up to which duplicates are found by comparing every pair.
constexpr std::size_t PAIRWISE = 8;

/// True when `items` holds some item twice (it may be reordered).
template <class T>
bool has_duplicate(std::vector<T>& items) {
    if (items.size() <= PAIRWISE) {
        for (std::size_t i = 0; i < items.size(); ++i) {
            for (std::size_t j = i + 1; j < items.size(); ++j) {
                if (items[i] == items[j]) return true;
            }
        }
        return false;
    }
    std::sort(items.begin(), items.end());
    return std::adjacent_find(items.begin(), items.end()) != items.end();
}

/// Where the first name that `names` holds twice is written the second
/// time, or null. The names are views of the document in document order, so
/// the later of two equal ones is the one at the higher address.
const char* first_repeat(std::vector<std::string_view>& names) {
    if (names.size() <= PAIRWISE) {
        for (std::size_t j = 1; j < names.size(); ++j) {
            for (std::size_t i = 0; i < j; ++i) {
                if (names[i] == names[j]) return names[j].data();
            }
        }
        return nullptr;
    }
    std::sort(names.begin(), names.end(), [](std::string_view a, std::string_view b) {
        return a != b ? a < b : a.data() < b.data();
    });
    const char* first = nullptr;
    for (std::size_t k = 1; k < names.size(); ++k) {
        if (names[k] == names[k - 1] && (first == nullptr || names[k].data() < first)) {
            first = names[k].data();
        }
    }
    return first;
}

/// Fed input: true when what stands at `p` outside the document element may
/// be cut otherwise once the input goes on past `end`: a name (or what
/// follows a literal or a ')') running up to it.
bool runs_to_end(const char* p, const char* end) noexcept {
    if (*p == '"' || *p == '\'') {
        const char* close = std::find(p + 1, end, *p);
        if (close == end) return true;
        p = close + 1;
    } else if (*p == ')' || *p == '#' || *p == '%' || *p == '<') {
        ++p;
        if (p != end && *p == '!') ++p;
    }
    while (p != end && (static_cast<unsigned char>(*p) >= 0x80 ||
                        (ASCII_CLASS[static_cast<unsigned char>(*p)] & NAME) != 0)) {
        ++p;
    }
    return p == end;
}

bool is_xml_in_any_case(std::string_view name) {
    return name.size() == 3 && (name[0] | 0x20) == 'x' && (name[1] | 0x20) == 'm' &&
           (name[2] | 0x20) == 'l';
}

}  // namespace

XmlReader::XmlReader(std::string_view document, bool namespaces, Scan scan) noexcept
    : begin_(document.data()),
      end_(document.data() + document.size()),
      pos_(document.data()),
      mark_(document.data()),
      namespaces_(namespaces),
      scan_(scan) {}

XmlReader::XmlReader(bool namespaces, Scan scan)
    : begin_(nullptr),
      end_(nullptr),
      pos_(nullptr),
      mark_(nullptr),
      fed_(true),
      final_(false),
      namespaces_(namespaces),
      scan_(scan) {}

XmlReader::~XmlReader() = default;

void XmlReader::feed(std::string_view chunk, bool final) {
    // Until the document element starts nothing is dropped, so that a
    // declined document can be handed whole to another reader.
    const bool keep_all = phase_ == Phase::Start || phase_ == Phase::Prolog;
    const std::size_t consumed = keep_all ? 0 : static_cast<std::size_t>(pos_ - begin_);
    const std::size_t at = static_cast<std::size_t>(pos_ - begin_);
    const std::size_t mark = static_cast<std::size_t>(mark_ - begin_);
    if (!open_.empty()) keep_open_names();
    input_.feed(consumed, chunk, final);
    begin_ = input_.data();
    end_ = begin_ + input_.size();
    pos_ = begin_ + (at - consumed);
    mark_ = begin_ + (mark >= consumed ? mark - consumed : 0);
    base_ = input_.base();
    final_ = final;
}

void XmlReader::keep_open_names() {
    std::size_t total = 0;
    for (const Open& open : open_) total += open.length;
    std::string kept;
    kept.reserve(total);
    for (const Open& open : open_) kept.append(open.name, open.length);
    open_names_.swap(kept);  // (a short string's bytes move with it)
    std::size_t at = 0;
    for (Open& open : open_) {
        open.name = open_names_.data() + at;
        at += open.length;
    }
}

void XmlReader::attach(ReaderEvents& sink) noexcept {
    sink_ = &sink;
    namespace_events_ = namespaces_ && sink.wants_namespace_events();
}

void XmlReader::stop(bool resumable) noexcept { halt_ = resumable ? Halt::Suspend : Halt::Abort; }

bool XmlReader::fail(XML_Error code, const char* at) noexcept {
    // Fed input: the faults of a token the chunk cuts short are read again.
    if ((code == XML_ERROR_UNCLOSED_TOKEN || code == XML_ERROR_PARTIAL_CHAR ||
         code == XML_ERROR_UNCLOSED_CDATA_SECTION || code == XML_ERROR_NO_ELEMENTS) &&
        more_may_come()) {
        return need_input();
    }
    // A CR that ends the input inside the document element may still begin
    // a CR LF pair: the end of the input stands before it, as with expat.
    if (code == XML_ERROR_NO_ELEMENTS && phase_ == Phase::Content && at == end_ && at > begin_ &&
        at[-1] == '\r') {
        --at;
    }
    error_code_ = code;
    event_ = offset_of(at);
    phase_ = Phase::Done;
    return false;
}

bool XmlReader::cut_short(const char* token) noexcept {
    if (error_code_ == XML_ERROR_UNCLOSED_TOKEN || error_code_ == XML_ERROR_PARTIAL_CHAR) {
        event_ = offset_of(token);
    }
    return false;
}

void XmlReader::defer(XML_Error code, const char* at) noexcept {
    if (deferred_code_ != XML_ERROR_NONE) return;
    deferred_code_ = code;
    deferred_at_ = at;
    deferred_attribute_ = attributes_.size();
}

XmlReader::Stop XmlReader::run() {
    return scan_ == Scan::Blocks ? run_with<Scan::Blocks>() : run_with<Scan::Bytes>();
}

template <Scan S>
XmlReader::Stop XmlReader::run_with() {
    if (declined_) return Stop::Declined;
    if (!final_ && phase_ != Phase::Done) {
        if (static_cast<std::size_t>(end_ - pos_) < need_) return Stop::NeedsInput;
    }
    need_ = 0;
    halt_ = Halt::None;
    mark_ = pos_;
    mark_phase_ = phase_;
    bool going = true;
    while (going) {
        switch (phase_) {
            case Phase::Start:
                going = start();
                break;
            case Phase::Prolog:
            case Phase::Epilog:
                mark_ = pos_;
                mark_phase_ = phase_;
                going = prolog_or_epilog();
                break;
            case Phase::Content:
                mark_ = pos_;
                mark_phase_ = phase_;
                going = content<S>();
                break;
            case Phase::Done:
                return error_code_ == XML_ERROR_NONE ? Stop::Finished : Stop::Failed;
        }
    }
    if (declined_) return Stop::Declined;
    if (short_) {
        short_ = false;
        // A text run goes on where it stopped; any other token is read
        // again, once there is twice as much of it.
        const auto held = static_cast<std::size_t>(end_ - mark_);
        need_ = resume_text_ ? held + 1 : std::max<std::size_t>(2 * held, 1);
        pos_ = mark_;
        phase_ = mark_phase_;
        if (halt_ == Halt::Suspend) return Stop::Suspended;
        if (halt_ == Halt::None) return Stop::NeedsInput;
    }
    if (halt_ == Halt::Suspend && phase_ != Phase::Done) return Stop::Suspended;
    if (halt_ != Halt::None && error_code_ == XML_ERROR_NONE) {
        error_code_ = XML_ERROR_ABORTED;
        phase_ = Phase::Done;
    }
    return Stop::Failed;
}

bool XmlReader::start() {
    // Fed input: enough bytes to tell UTF-16 by its NUL bytes, a byte-order
    // mark and an XML declaration by "<?xml" and the character after it.
    if (!final_ && end_ - pos_ < 9) return need_input();
    // A NUL byte among the first four is UTF-16 or UTF-32 without a
    // byte-order mark, and a UTF-16 byte-order mark starts UTF-16 whatever
    // follows: expat recognises both from those bytes, so they are left to it.
    const std::size_t head = std::min<std::size_t>(static_cast<std::size_t>(end_ - pos_), 4);
    const std::string_view first(pos_, head);
    if (first.find('\0') != std::string_view::npos || first.starts_with("\xFE\xFF") ||
        first.starts_with("\xFF\xFE")) {
        declined_ = true;
        return false;
    }
    if (looking_at("\xEF\xBB\xBF")) pos_ += 3;
    // Input that stops inside a byte-order mark (UTF-8's, or the first byte
    // of UTF-16's) is a token cut short.
    const std::string_view whole(begin_, static_cast<std::size_t>(end_ - begin_));
    if ((!whole.empty() && whole.size() < 3 &&
         std::string_view("\xEF\xBB\xBF").starts_with(whole)) ||
        whole == "\xFE" || whole == "\xFF") {
        return fail(XML_ERROR_UNCLOSED_TOKEN, begin_);
    }
    if (looking_at("<?xml") && !at_end(5) &&
        (is_space(static_cast<unsigned char>(pos_[5])) || pos_[5] == '?')) {
        if (!xml_declaration()) return false;
    }
    if (source_ != nullptr && source_->needs_declaration() && !encoding_named_) {
        declined_ = true;  // the declaration that chose the encoding is not there
        return false;
    }
    phase_ = Phase::Prolog;
    return true;
}

bool XmlReader::xml_declaration() {
    const char* const start = pos_;
    // "<?xml?" is a declaration's end only before ">": anything else is
    // refused at the character after the '?'.
    if (start[5] == '?') {
        if (end_ - start < 7) return fail(XML_ERROR_UNCLOSED_TOKEN, start);
        if (start[6] != '>') return fail(XML_ERROR_INVALID_TOKEN, start + 6);
    }
    // Read first as a processing instruction: it ends at the first "?>".
    const char* close = start + 5;
    while (true) {
        close = find_run_stop<Scan::Blocks>(close, end_, PI_STOPS);
        if (close == end_) return fail(XML_ERROR_UNCLOSED_TOKEN, start);
        if (*close == '?') {
            if (end_ - close < 2) return fail(XML_ERROR_UNCLOSED_TOKEN, start);
            if (close[1] == '>') break;
            ++close;
            continue;
        }
        if (!check_char(close, end_)) return cut_short(start);
    }
    // Then its pseudo-attributes, a fault located at the name, the '=', the
    // quote or the value that is wrong.
    pos_ = start + 5;
    const auto skip_space = [&] {
        while (pos_ != close && is_space(static_cast<unsigned char>(*pos_))) ++pos_;
    };
    static constexpr std::string_view NAMES[] = {"version", "encoding", "standalone"};
    std::size_t next = 0;  // the first pseudo-attribute that may still come
    while (true) {
        const char* const before = pos_;
        skip_space();
        if (pos_ == close) {
            if (next == 0) return fail(XML_ERROR_XML_DECL, start + 5);  // no version
            pos_ = close + 2;
            return true;
        }
        if (pos_ == before) return fail(XML_ERROR_XML_DECL, pos_);
        // The name runs to the '=', white space or the end, in ASCII; it is
        // matched once its value is read.
        const char* const name = pos_;
        while (pos_ != close && *pos_ != '=' && !is_space(static_cast<unsigned char>(*pos_)) &&
               static_cast<unsigned char>(*pos_) < 0x80) {
            ++pos_;
        }
        if (pos_ != close && static_cast<unsigned char>(*pos_) >= 0x80) {
            return fail(XML_ERROR_XML_DECL, pos_);
        }
        if (pos_ == name) return fail(XML_ERROR_XML_DECL, name);
        const std::string_view word(name, static_cast<std::size_t>(pos_ - name));
        skip_space();
        if (pos_ == close || *pos_ != '=') return fail(XML_ERROR_XML_DECL, pos_);
        ++pos_;
        skip_space();
        if (pos_ == close || (*pos_ != '"' && *pos_ != '\'')) return fail(XML_ERROR_XML_DECL, pos_);
        const char quote = *pos_++;
        // Any value holds letters, digits, '.', '_' and '-' only.
        const char* const value = pos_;
        while (pos_ != close && is_declaration_value_char(*pos_)) ++pos_;
        if (pos_ == close || *pos_ != quote) return fail(XML_ERROR_XML_DECL, pos_);
        const std::string_view text(value, static_cast<std::size_t>(pos_ - value));
        ++pos_;
        std::size_t which = next;
        while (which < 3 && NAMES[which] != word) ++which;
        // The version comes first; the others, each optional, in this order.
        if (which == 3 || (next == 0 && which != 0)) return fail(XML_ERROR_XML_DECL, name);
        next = which + 1;
        bool ok = false;
        if (which == 0) {  // '1.' digits
            ok = text.size() > 2 && text.starts_with("1.") &&
                 std::all_of(text.begin() + 2, text.end(),
                             [](char c) { return c >= '0' && c <= '9'; });
        } else if (which == 1) {  // a letter first
            ok = !text.empty() && (text[0] | 0x20) >= 'a' && (text[0] | 0x20) <= 'z';
        } else {
            ok = text == "yes" || text == "no";
        }
        if (!ok) return fail(XML_ERROR_XML_DECL, value);
        // Transcoded input: the name is that of the source's encoding,
        // which expat judges itself when it is not one the source may have.
        if (which == 1 && source_ != nullptr && !source_->accepts_declared(text)) {
            declined_ = true;
            return false;
        }
        encoding_named_ = encoding_named_ || which == 1;
    }
}

bool XmlReader::prolog_or_epilog() {
    while (true) {
        while (!at_end() && is_space(static_cast<unsigned char>(*pos_))) ++pos_;
        mark_ = pos_;
        if (at_end()) {
            if (phase_ == Phase::Prolog) return fail(XML_ERROR_NO_ELEMENTS, pos_);
            if (!final_) return need_input();
            phase_ = Phase::Done;
            event_ = offset_of(pos_);
            return true;
        }
        if (!final_ && end_ - pos_ < LONGEST_OPENING) return need_input();
        if (looking_at("<?")) {
            if (!processing_instruction()) return false;
            continue;
        }
        if (looking_at("<!--")) {
            if (!comment()) return false;
            continue;
        }
        // A second one is refused as stray markup.
        if (phase_ == Phase::Prolog && !doctype_seen_ && looking_at("<!DOCTYPE")) {
            doctype_seen_ = true;
            const char* const start = pos_;
            if (!doctype()) return doctype_again(start);
            continue;
        }
        if (phase_ == Phase::Prolog && looking_at("<") && !at_end(1) && pos_[1] != '!' &&
            pos_[1] != '/') {
            phase_ = Phase::Content;  // the document element's start tag
            return true;
        }
        if (!final_ && runs_to_end(pos_, end_)) return need_input();
        const ReadFault fault = stray_markup(pos_, end_, phase_ == Phase::Epilog, namespaces_);
        // What counts as a name there follows the fifth edition's rules too:
        // the piece read up to the fault, and the word it starts with.
        for (const char* p = pos_;
             p < end_ &&
             (p <= fault.at || (!is_space(static_cast<unsigned char>(*p)) && *p != '<'));
             ++p) {
            if (static_cast<unsigned char>(*p) >= 0x80) non_ascii_name_ = true;
        }
        return fail(fault.code, fault.at);
    }
}

template <Scan S>
bool XmlReader::content() {
    const char* resume = nullptr;
    if (resume_text_) [[unlikely]] {
        resume_text_ = false;
        resume = begin_ + (text_resume_ - base_);
    }
    while (true) {
        // Character data up to the next markup, sent in pieces between the
        // references and line ends that change it.
        const char* run = pos_;
        mark_ = pos_;
        if (resume != nullptr) [[unlikely]] {
            pos_ = resume;
            resume = nullptr;
        }
        while (true) {
            const char* stop = find_run_stop<S>(pos_, end_, TEXT_STOPS);
            if (stop == end_) {
                if (entities_.empty()) {
                    if (!final_) return wait_in_text(run, stop);
                    return fail(XML_ERROR_NO_ELEMENTS, end_);
                }
                // The end of an entity's replacement text: back to where it was referenced.
                send_text(run, static_cast<std::size_t>(stop - run), run);
                if (!leave_entity()) return false;
                if (halted()) return false;
                run = pos_;
                mark_ = pos_;
                continue;
            }
            const char c = *stop;
            if (c == '<') {
                pos_ = stop;
                send_text(run, static_cast<std::size_t>(stop - run), run);
                mark_ = pos_;
                if (halted()) return false;
                if (end_ - stop < LONGEST_OPENING && more_may_come()) return need_input();
                break;
            }
            if (c == ']') {
                if (end_ - stop >= 3 && stop[1] == ']' && stop[2] == '>') {
                    return fail(XML_ERROR_INVALID_TOKEN, stop + 2);  // at its '>'
                }
                if (end_ - stop < 3 && more_may_come()) return wait_in_text(run, stop);
                pos_ = stop + 1;
                continue;
            }
            // A CR in replacement text came from a character reference: it is data.
            if (c == '&' || (c == '\r' && entities_.empty())) {
                if (c == '\r' && end_ - stop < 2 && more_may_come()) return wait_in_text(run, stop);
                pos_ = stop;
                send_text(run, static_cast<std::size_t>(stop - run), run);
                mark_ = pos_;
                if (halted()) return false;
                if (c == '&') {
                    if (!reference(nullptr)) return false;
                } else {
                    pos_ = stop + 1;
                    if (!at_end() && *pos_ == '\n') ++pos_;
                    send_text("\n", 1, stop);
                }
                if (halted()) return false;
                run = pos_;
                mark_ = pos_;
                continue;
            }
            if (end_ - stop < 4 && more_may_come()) return wait_in_text(run, stop);
            pos_ = stop;
            if (!check_char(pos_, end_)) return false;
        }
        // Markup at `pos_`.
        if (at_end(1)) return fail(XML_ERROR_UNCLOSED_TOKEN, pos_);
        const char next = pos_[1];
        bool ok;
        if (next == '/') {
            ok = end_tag();
        } else if (next == '?') {
            ok = processing_instruction();
        } else if (next == '!') {
            if (looking_at("<!--")) {
                ok = comment();
            } else if (looking_at("<![CDATA[")) {
                ok = cdata_section();
            } else {
                // At the first character that starts neither, or at the
                // markup's start when the input ends first (before the
                // length of "<![CDATA[" whatever it holds, as with expat).
                const char* p = pos_ + 2;
                const std::string_view want = p != end_ && *p == '[' ? "[CDATA[" : "--";
                std::size_t i = 0;
                while (i < want.size() && p + i != end_ && p[i] == want[i]) ++i;
                const bool cut = p + i == end_ || (want.size() == 7 && end_ - pos_ < 9);
                ok = cut ? fail(XML_ERROR_UNCLOSED_TOKEN, pos_)
                         : fail(XML_ERROR_INVALID_TOKEN, p + i);
            }
        } else {
            ok = start_tag<S>();
        }
        if (!ok) return false;
        if (open_.empty()) phase_ = Phase::Epilog;
        if (halted()) return false;
        if (open_.empty()) return true;
        mark_ = pos_;
    }
}

template <Scan S>
bool XmlReader::start_tag() {
    const char* const tag = pos_;
    tag_ = tag;
    deferred_code_ = XML_ERROR_NONE;
    ++pos_;
    const char* name_end = name(namespaces_);
    if (name_end == nullptr) return cut_short(tag);
    const std::string_view element(tag + 1, static_cast<std::size_t>(name_end - tag - 1));
    pos_ = name_end;
    attributes_.clear();
    values_.clear();
    bool empty = false;
    while (true) {
        const char* const before = pos_;
        while (!at_end() && is_space(static_cast<unsigned char>(*pos_))) ++pos_;
        if (at_end()) return fail(XML_ERROR_UNCLOSED_TOKEN, tag);
        if (*pos_ == '>') {
            ++pos_;
            break;
        }
        if (*pos_ == '/') {
            if (at_end(1)) return fail(XML_ERROR_UNCLOSED_TOKEN, tag);
            if (pos_[1] != '>') return fail(XML_ERROR_INVALID_TOKEN, pos_ + 1);
            pos_ += 2;
            empty = true;
            break;
        }
        // Attributes stand apart from the name and from each other.
        if (pos_ == before) return fail(XML_ERROR_INVALID_TOKEN, pos_);
        const char* const attribute = pos_;
        name_end = name(namespaces_);
        if (name_end == nullptr) return cut_short(tag);
        pos_ = name_end;
        while (!at_end() && is_space(static_cast<unsigned char>(*pos_))) ++pos_;
        if (at_end()) return fail(XML_ERROR_UNCLOSED_TOKEN, tag);
        if (*pos_ != '=') return fail(XML_ERROR_INVALID_TOKEN, pos_);
        ++pos_;
        while (!at_end() && is_space(static_cast<unsigned char>(*pos_))) ++pos_;
        if (at_end()) return fail(XML_ERROR_UNCLOSED_TOKEN, tag);
        if (*pos_ != '"' && *pos_ != '\'') return fail(XML_ERROR_INVALID_TOKEN, pos_);
        const char quote = *pos_++;
        const std::size_t value = values_.size();
        if (!attribute_value<S>(quote)) return cut_short(tag);
        attributes_.push_back(
            Attribute{std::string_view(attribute, static_cast<std::size_t>(name_end - attribute)),
                      value, values_.size() - value});
    }
    // The tag read whole, its attributes are taken in order: a repeated
    // name (located at its second use) or a reference that cannot be
    // replaced, whichever comes first.
    if (attributes_.size() > 1) {
        names_seen_.clear();
        for (const Attribute& a : attributes_) names_seen_.push_back(a.name);
        const char* const repeat = first_repeat(names_seen_);
        if (repeat != nullptr && (deferred_code_ == XML_ERROR_NONE ||
                                  repeat <= attributes_[deferred_attribute_].name.data())) {
            return fail(XML_ERROR_DUPLICATE_ATTRIBUTE, repeat);
        }
    }
    if (deferred_code_ != XML_ERROR_NONE && !namespaces_) {
        return fail(deferred_code_, deferred_at_);
    }
    if (dtd_ != nullptr) [[unlikely]] {
        if (!apply_declarations(element)) return false;
    }
    event_ = offset_of(tag);
    return namespaces_ ? resolve_and_send(element, empty) : send_plain(element, empty);
}

template <Scan S>
bool XmlReader::attribute_value(char quote) {
    const RunStops stops{quote, '<', '&', false};
    while (true) {
        const char* stop = find_run_stop<S>(pos_, end_, stops);
        if (stop == end_) return fail(XML_ERROR_UNCLOSED_TOKEN, end_);
        values_.append(pos_, stop);
        const char c = *stop;
        if (c == quote) {
            pos_ = stop + 1;
            return true;
        }
        pos_ = stop;
        switch (c) {
            case '<':
                return fail(XML_ERROR_INVALID_TOKEN, stop);
            case '&':
                if (!reference(&values_)) return false;
                continue;
            case '\t':
            case '\n':
                values_ += ' ';
                ++pos_;
                continue;
            case '\r':
                values_ += ' ';
                ++pos_;
                if (!at_end() && *pos_ == '\n') ++pos_;
                continue;
            default:
                if (!check_char(pos_, end_)) return false;
                values_.append(stop, pos_);
        }
    }
}

bool XmlReader::check_char(const char*& p, const char* end) {
    const auto u = static_cast<unsigned char>(*p);
    if (u < 0x80) {
        if ((ASCII_CLASS[u] & CHAR) == 0) return fail(XML_ERROR_INVALID_TOKEN, p);
        ++p;
        return true;
    }
    const Decoded d = decode_utf8(p, end);
    if (d.length < 0) return fail(XML_ERROR_PARTIAL_CHAR, p);
    if (d.length == 0 || !is_xml_char(d.code)) return fail(XML_ERROR_INVALID_TOKEN, p);
    p += d.length;
    return true;
}

const char* XmlReader::name(bool qualified) {
    // Most names are ASCII with no colon: one tight loop takes them whole.
    // Any other name is read again below, a character at a time.
    if (pos_ < end_ && *pos_ != ':' &&
        (ASCII_CLASS[static_cast<unsigned char>(*pos_)] & NAME_START) != 0) {
        const char* p = pos_ + 1;
        while (p < end_ && (ASCII_CLASS[static_cast<unsigned char>(*p)] & NAME_PLAIN) != 0) ++p;
        if (p == end_ || (static_cast<unsigned char>(*p) < 0x80 && *p != ':')) return p;
    }
    const char* p = pos_;
    bool first = true;  // the next character starts a name (or the local part)
    bool colon = false;
    while (p < end_) {
        const auto u = static_cast<unsigned char>(*p);
        if (u < 0x80) {
            if ((ASCII_CLASS[u] & (first ? NAME_START : NAME)) == 0) break;
            if (u == ':' && qualified) {
                // A qualified name has at most one colon, between two parts.
                if (colon || first) {
                    fail(XML_ERROR_INVALID_TOKEN, p);
                    return nullptr;
                }
                colon = true;
                first = true;  // the local part starts here, with a name start
                ++p;
                continue;
            }
            first = false;
            ++p;
            continue;
        }
        non_ascii_name_ = true;
        const Decoded d = decode_utf8(p, end_);
        if (d.length < 0) {
            fail(XML_ERROR_PARTIAL_CHAR, p);
            return nullptr;
        }
        if (d.length == 0) {
            fail(XML_ERROR_INVALID_TOKEN, p);
            return nullptr;
        }
        if (!(first ? is_name_start_above_ascii(d.code) : is_name_char_above_ascii(d.code))) break;
        first = false;
        p += d.length;
    }
    if (first) {  // no name, or a colon ending it
        fail(p == end_ ? XML_ERROR_UNCLOSED_TOKEN : XML_ERROR_INVALID_TOKEN, p);
        return nullptr;
    }
    return p;
}

const char* XmlReader::colon_in(const char* name, const char* name_end) const noexcept {
    if (!namespaces_) return nullptr;
    return static_cast<const char*>(
        std::memchr(name, ':', static_cast<std::size_t>(name_end - name)));
}

bool XmlReader::reference(std::string* out) {
    const char* const amp = pos_;
    if (at_end(1)) return fail(XML_ERROR_UNCLOSED_TOKEN, amp);
    char buffer[4];
    std::size_t length = 0;
    if (amp[1] == '#') {
        const char* p = amp + 2;
        const bool hex = p < end_ && *p == 'x';
        if (hex) ++p;
        const char* const digits = p;
        std::uint32_t code = 0;
        for (; p < end_; ++p) {
            const char c = *p;
            std::uint32_t digit;
            if (c >= '0' && c <= '9') {
                digit = static_cast<std::uint32_t>(c - '0');
            } else if (hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
                digit = static_cast<std::uint32_t>((c | 0x20) - 'a' + 10);
            } else {
                break;
            }
            // Past the last code point it stays there: the reference is bad anyway.
            code = std::min<std::uint32_t>(code * (hex ? 16 : 10) + digit, 0x110000);
        }
        if (p == end_) return fail(XML_ERROR_UNCLOSED_TOKEN, amp);
        if (p == digits || *p != ';') return fail(XML_ERROR_INVALID_TOKEN, p);
        pos_ = p + 1;
        if (!is_xml_char(code)) {
            if (out == nullptr) return fail(XML_ERROR_BAD_CHAR_REF, amp);
            defer(XML_ERROR_BAD_CHAR_REF, attribute_reference(amp));
            return true;
        }
        std::string encoded;
        if (out != nullptr) {
            append_utf8(*out, code);
            return true;
        }
        append_utf8(encoded, code);
        length = encoded.size();
        std::copy(encoded.begin(), encoded.end(), buffer);
    } else {
        pos_ = amp + 1;
        // Read with namespaces, a colon in a name that starts well fails
        // before anything after it does, however the input is cut.
        if (namespaces_ && !at_end() && starts_name(pos_, end_)) {
            const NameRun run = name_run(pos_, end_);
            if (const char* colon = colon_in(pos_, run.end)) {
                if (run.non_ascii) non_ascii_name_ = true;
                return fail(XML_ERROR_INVALID_TOKEN, colon);
            }
        }
        const char* const name_end = name(false);
        if (name_end == nullptr) return false;
        if (name_end == end_) return fail(XML_ERROR_UNCLOSED_TOKEN, amp);
        if (*name_end != ';') return fail(XML_ERROR_INVALID_TOKEN, name_end);
        const std::string_view entity(amp + 1, static_cast<std::size_t>(name_end - amp - 1));
        char c;
        if (entity == "lt") {
            c = '<';
        } else if (entity == "gt") {
            c = '>';
        } else if (entity == "amp") {
            c = '&';
        } else if (entity == "quot") {
            c = '"';
        } else if (entity == "apos") {
            c = '\'';
        } else {
            return named_reference(entity, amp, name_end + 1, out);
        }
        pos_ = name_end + 1;
        if (out != nullptr) {
            *out += c;
            return true;
        }
        buffer[0] = c;
        length = 1;
    }
    send_text(buffer, length, amp);
    return true;
}

bool XmlReader::end_tag() {
    const char* const tag = pos_;
    pos_ += 2;
    // Read with namespaces, its name starts with no colon; it is matched
    // as written.
    if (namespaces_ && !at_end() && *pos_ == ':') return fail(XML_ERROR_INVALID_TOKEN, pos_);
    // The tag mostly closes the element last opened: its name, found where
    // the tag's name stands with no name character after it, is a name read
    // (it was read as one in the start tag). Anything else is read as a name.
    const char* name_end = nullptr;
    bool matched = false;  // the name is the open element's
    if (!open_.empty()) {
        const Open& open = open_.back();
        const char* const after = pos_ + open.length;
        if (static_cast<std::size_t>(end_ - pos_) > open.length &&
            std::memcmp(pos_, open.name, open.length) == 0 &&
            static_cast<unsigned char>(*after) < 0x80 &&
            (ASCII_CLASS[static_cast<unsigned char>(*after)] & NAME) == 0) {
            name_end = after;
            matched = true;
        }
    }
    if (name_end == nullptr) name_end = name(false);
    if (name_end == nullptr) return cut_short(tag);
    if (name_end == end_) return fail(XML_ERROR_UNCLOSED_TOKEN, tag);
    // The tag is read whole before its name is matched.
    const char* close = name_end;
    while (close != end_ && is_space(static_cast<unsigned char>(*close))) ++close;
    if (close == end_) return fail(XML_ERROR_UNCLOSED_TOKEN, tag);
    if (*close != '>') return fail(XML_ERROR_INVALID_TOKEN, close);
    // An element open where an entity was referenced ends outside its replacement text.
    if (!entities_.empty() && open_.size() == entities_.back().depth) {
        return fail(XML_ERROR_ASYNC_ENTITY, tag);
    }
    const Open& open = open_.back();
    if (!matched && (static_cast<std::size_t>(name_end - pos_) != open.length ||
                     !std::equal(pos_, name_end, open.name))) {
        return fail(XML_ERROR_TAG_MISMATCH, pos_);  // at the name, as expat has it
    }
    pos_ = close + 1;
    const std::uint32_t bindings = open.bindings;
    open_.pop_back();
    event_ = offset_of(tag);
    if (!muted_) sink_->on_end();
    end_bindings(bindings);
    return true;
}

void XmlReader::end_bindings(std::uint32_t bindings) {
    for (; bindings > 0; --bindings) {
        if (namespace_events_ && !muted_) sink_->on_namespace_end(scope_.recent(0).data());
        scope_.unbind();
    }
}

bool XmlReader::comment() {
    const char* const start = pos_;
    pos_ += 4;
    while (true) {
        const char* stop = find_run_stop<Scan::Blocks>(pos_, end_, COMMENT_STOPS);
        if (stop == end_) return fail(XML_ERROR_UNCLOSED_TOKEN, start);
        if (*stop == '-') {
            if (end_ - stop < 2) return fail(XML_ERROR_UNCLOSED_TOKEN, start);
            if (stop[1] == '-') {
                if (end_ - stop < 3) return fail(XML_ERROR_UNCLOSED_TOKEN, start);
                // "--" only as the end of the comment.
                if (stop[2] != '>') return fail(XML_ERROR_INVALID_TOKEN, stop + 2);
                pos_ = stop + 3;
                if (report_nodes_) [[unlikely]]
                    report_node({}, {start + 4, static_cast<std::size_t>(stop - start - 4)}, false);
                return true;
            }
            pos_ = stop + 1;
            continue;
        }
        pos_ = stop;
        if (!check_char(pos_, end_)) return cut_short(start);
    }
}

bool XmlReader::processing_instruction() {
    const char* const start = pos_;
    pos_ += 2;
    const char* const target_end = name(false);
    if (target_end == nullptr) return cut_short(start);
    // Fed input: a target that may go on ("xml..."), or a "?" that may be "?>".
    if (end_ - target_end < 2 && more_may_come()) return need_input();
    const std::string_view target(pos_, static_cast<std::size_t>(target_end - pos_));
    // No colon in a target read with namespaces, though the input ends after it.
    if (namespaces_ && target.find(':') != std::string_view::npos) {
        return fail(XML_ERROR_INVALID_TOKEN, target.data() + target.find(':'));
    }
    if (target_end == end_) return fail(XML_ERROR_UNCLOSED_TOKEN, start);  // "<?xml" too
    // The target "xml" in any case is reserved; in lower case it is a
    // declaration out of place, refused once it is read whole (after the
    // document element, as one more thing that may not follow it).
    const bool declaration = target == "xml";
    if (is_xml_in_any_case(target) && !declaration) {
        return fail(XML_ERROR_INVALID_TOKEN, target_end);
    }
    const auto misplaced = [&] {
        return fail(
            phase_ == Phase::Epilog ? XML_ERROR_JUNK_AFTER_DOC_ELEMENT : XML_ERROR_MISPLACED_XML_PI,
            start);
    };
    pos_ = target_end;
    if (looking_at("?>")) {
        if (declaration) return misplaced();
        pos_ += 2;
        if (report_nodes_) [[unlikely]]
            report_node(target, {}, true);
        return true;
    }
    if (at_end() || (*pos_ == '?' && at_end(1))) return fail(XML_ERROR_UNCLOSED_TOKEN, start);
    if (*pos_ == '?') return fail(XML_ERROR_INVALID_TOKEN, pos_ + 1);  // "?" without ">"
    if (!is_space(static_cast<unsigned char>(*pos_))) return fail(XML_ERROR_INVALID_TOKEN, pos_);
    const char* data = pos_;
    while (data != end_ && is_space(static_cast<unsigned char>(*data))) ++data;
    while (true) {
        const char* stop = find_run_stop<Scan::Blocks>(pos_, end_, PI_STOPS);
        if (stop == end_) return fail(XML_ERROR_UNCLOSED_TOKEN, start);
        if (*stop == '?') {
            if (end_ - stop < 2) return fail(XML_ERROR_UNCLOSED_TOKEN, start);
            pos_ = stop + (stop[1] == '>' ? 2 : 1);
            if (stop[1] == '>') {
                if (declaration) return misplaced();
                if (report_nodes_) [[unlikely]] {
                    const char* from = std::min(data, stop);
                    report_node(target, {from, static_cast<std::size_t>(stop - from)}, true);
                }
                return true;
            }
            continue;
        }
        pos_ = stop;
        if (!check_char(pos_, end_)) return cut_short(start);
    }
}

void XmlReader::report_node(std::string_view target, std::string_view text, bool instruction) {
    if (muted_ || sink_ == nullptr) return;
    node_text_.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r') {
            node_text_ += text[i];
        } else {
            node_text_ += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        }
    }
    if (instruction) {
        node_target_.assign(target);
        sink_->on_instruction(node_target_.c_str(), node_text_.c_str());
    } else {
        sink_->on_comment(node_text_.c_str());
    }
}

bool XmlReader::cdata_section() {
    const char* const start = pos_;
    pos_ += 9;
    const char* const run = pos_;
    bool normalized = false;  // a CR met: the text is gathered in `text_`
    while (true) {
        const char* stop = find_run_stop<Scan::Blocks>(pos_, end_, CDATA_STOPS);
        if (stop == end_) return unclosed_cdata(run);
        if (*stop == ']') {
            if (end_ - stop >= 3 && stop[1] == ']' && stop[2] == '>') {
                if (normalized) text_.append(pos_, stop);
                pos_ = stop + 3;
                if (normalized) {
                    send_text(text_.data(), text_.size(), start);
                } else {
                    send_text(run, static_cast<std::size_t>(stop - run), start);
                }
                return true;
            }
            if (normalized) text_.append(pos_, stop + 1);
            pos_ = stop + 1;
            continue;
        }
        if (*stop == '\r') {
            if (!normalized) text_.assign(run, stop);
            if (normalized) text_.append(pos_, stop);
            normalized = true;
            text_ += '\n';
            pos_ = stop + 1;
            if (!at_end() && *pos_ == '\n') ++pos_;
            continue;
        }
        const char* p = stop;
        if (!check_char(p, end_)) return false;
        if (normalized) text_.append(pos_, p);
        pos_ = p;
    }
}

bool XmlReader::unclosed_cdata(const char* run) {
    // The end of the input stands before what may still begin the section's
    // end ("]" or "]]") or a CR LF pair, as with expat.
    const char* at = end_;
    if (at > run && at[-1] == '\r') {
        --at;
    } else if (at > run && at[-1] == ']') {
        --at;
        if (at > run && at[-1] == ']') --at;
    }
    return fail(XML_ERROR_UNCLOSED_CDATA_SECTION, at);
}

bool XmlReader::wait_in_text(const char* run, const char* stop) {
    // The text is sent in the pieces the whole document gives: the run waits,
    // and the scan goes on at `stop` rather than reading it all again.
    mark_ = run;
    text_resume_ = offset_of(stop);
    resume_text_ = true;
    return need_input();
}

bool XmlReader::doctype_again(const char* start) {
    if (declined_) return false;
    const bool near_end = error_code_ != XML_ERROR_NONE && event_ + NEAR_END > offset_of(end_);
    if (!short_ && (final_ || !near_end)) return false;
    // Nothing of it is kept: it is read whole, from its start, again.
    error_code_ = XML_ERROR_NONE;
    undefined_entity_.clear();
    dtd_.reset();
    doctype_seen_ = false;
    deferred_code_ = XML_ERROR_NONE;
    mark_ = start;
    return need_input();
}

void XmlReader::send_text(const char* text, std::size_t length, const char* at) {
    if (length == 0 || muted_) return;
    event_ = offset_of(at);
    sink_->on_text(text, length);
}

bool XmlReader::send_plain(std::string_view element, bool empty) {
    if (!empty) open_.push_back(Open{element.data(), element.size(), 0});
    if (muted_) return true;
    // The names are views of the input and the values of `values_`: nothing
    // is copied for the event.
    views_.clear();
    for (const Attribute& a : attributes_) {
        views_.push_back(
            {{{}, a.name, {}}, std::string_view(values_.data() + a.value, a.value_length)});
    }
    sink_->on_start(ExpandedName{{}, element, {}}, views_, empty);
    if (empty && !muted_) sink_->on_end();
    return true;
}

bool XmlReader::expand(std::string_view qname, bool element, const char* tag, ExpandedName& name) {
    const std::size_t colon = qname.find(':');
    if (colon == std::string_view::npos) {
        const std::string* uri = element ? scope_.find({}) : nullptr;
        name = {uri != nullptr ? std::string_view(*uri) : std::string_view(), qname, {}};
        return true;
    }
    const std::string_view prefix = qname.substr(0, colon);
    const std::string* uri = scope_.find(prefix);
    if (uri == nullptr) return fail(XML_ERROR_UNBOUND_PREFIX, tag);
    name = {*uri, qname.substr(colon + 1), prefix};
    return true;
}

bool XmlReader::unique_expanded_attributes() {
    expanded_seen_.clear();
    for (const AttributeView& view : views_) {
        if (!view.name.prefix.empty()) expanded_seen_.emplace_back(view.name.uri, view.name.local);
    }
    return !has_duplicate(expanded_seen_);
}

bool XmlReader::resolve_and_send(std::string_view element, bool empty) {
    const char* const tag = tag_;
    // The declarations of the tag come first: they hold for its own names.
    std::uint32_t bindings = 0;
    for (std::size_t i = 0; i < attributes_.size(); ++i) {
        // Each attribute's value is read before its declaration is taken.
        if (deferred_code_ != XML_ERROR_NONE && i == deferred_attribute_) {
            return fail(deferred_code_, deferred_at_);
        }
        const Attribute& a = attributes_[i];
        std::string_view prefix;
        if (a.name.starts_with("xmlns:")) {
            prefix = a.name.substr(6);
        } else if (a.name != "xmlns") {
            continue;
        }
        const std::string_view uri(values_.data() + a.value, a.value_length);
        // An empty value for a prefix is refused before the prefix is looked at.
        if (!prefix.empty() && uri.empty()) return fail(XML_ERROR_UNDECLARING_PREFIX, tag);
        if (prefix == "xmlns") return fail(XML_ERROR_RESERVED_PREFIX_XMLNS, tag);
        if (prefix == "xml") {
            if (uri != XML_NAMESPACE) return fail(XML_ERROR_RESERVED_PREFIX_XML, tag);
        } else if (uri == XML_NAMESPACE || uri == XMLNS_NAMESPACE) {
            return fail(XML_ERROR_RESERVED_NAMESPACE_URI, tag);
        }
        scope_.bind(prefix, uri);
        ++bindings;
    }
    // The names are views of the input and of the URIs in scope, the values
    // those of `values_`, as without namespaces.
    ExpandedName name;
    if (!expand(element, true, tag, name)) return false;
    views_.clear();
    std::size_t prefixed = 0;
    for (const Attribute& a : attributes_) {
        if (a.name == "xmlns" || a.name.starts_with("xmlns:")) continue;
        AttributeView& view = views_.emplace_back();
        if (!expand(a.name, false, tag, view.name)) return false;
        if (!view.name.prefix.empty()) ++prefixed;
        view.value = std::string_view(values_.data() + a.value, a.value_length);
    }
    // Two prefixes bound to one URI make two names of one attribute.
    if (prefixed > 1 && !unique_expanded_attributes()) {
        return fail(XML_ERROR_DUPLICATE_ATTRIBUTE, tag);
    }
    if (!empty) {
        open_.push_back(Open{element.data(), element.size(), bindings});
    }
    if (!muted_) {
        if (namespace_events_) {
            for (std::uint32_t i = bindings; i > 0; --i) {
                const std::string_view prefix = scope_.recent(i - 1);
                sink_->on_namespace_start(prefix.data(), scope_.find(prefix)->c_str());
            }
        }
        sink_->on_start(name, views_, empty);
        if (empty && !muted_) sink_->on_end();
    }
    if (empty) end_bindings(bindings);
    return true;
}

// The default values of attribute declarations are read a byte at a time.
template bool XmlReader::attribute_value<Scan::Bytes>(char quote);

ErrorLocation XmlReader::location() const {
    TextPosition at;
    if (fed_) {
        at = input_.position_at(event_);
    } else {
        const char* const end = entities_.empty() ? end_ : entities_.front().end;
        at = advance<Scan::Bytes>(at, begin_,
                                  begin_ + std::min<std::uint64_t>(event_, end - begin_));
    }
    ErrorLocation out;
    out.line = at.line;
    out.column = at.column;
    return out;
}

TagPosition XmlReader::tag_position() const noexcept {
    if (!fed_) return {event_, 0, 0};
    // Fed input is not there to read again when the position is asked for.
    const TextPosition at = input_.position_at(event_);
    constexpr std::uint64_t most = UINT32_MAX;
    return {event_, static_cast<std::uint32_t>(std::min(at.line, most)),
            static_cast<std::uint32_t>(std::min(at.column, most))};
}

BindError XmlReader::error() const {
    const char* text = XML_ErrorString(error_code_);
    const std::string message = text != nullptr ? text : "unknown error";
    ErrorLocation at = location();
    BindError error = [&] {
        switch (error_code_) {
            case XML_ERROR_NO_ELEMENTS:
                return BindError::schema("Unexpected end of XML stream");
            case XML_ERROR_BAD_CHAR_REF:
                return BindError::xml_parse(message);
            case XML_ERROR_UNDEFINED_ENTITY:
                return BindError::unescape(message);
            default:
                return BindError::xml_reader(event_, message);
        }
    }();
    if (error_code_ == XML_ERROR_UNDEFINED_ENTITY) at.entity = undefined_entity_;
    error.set_location(std::move(at));
    return error;
}

}  // namespace kestrix::detail
