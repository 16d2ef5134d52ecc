// core/src/bind/element_facts.cpp: describe_element, a second look at one element.
#include "kestrix/element_facts.hpp"

#include <expat.h>

#include <string_view>
#include <utility>

#include "expat_reader.hpp"

namespace kestrix {

namespace {

/// The handlers of the second look: wait for the start tag at `offset`, then
/// note its attributes and direct children and stop at its end tag.
struct Lookup {
    detail::ExpatReader* reader = nullptr;
    std::uint64_t offset = 0;
    std::optional<ElementFacts> facts;
    std::uint64_t depth = 0;  ///< open elements from the one looked up, itself included
    bool done = false;

    static void XMLCALL on_start(void* self, const XML_Char* name, const XML_Char** attributes) {
        static_cast<Lookup*>(self)->start(name, attributes);
    }
    static void XMLCALL on_end(void* self, const XML_Char*) { static_cast<Lookup*>(self)->end(); }

    void start(const char* name, const char** attributes) {
        if (done) return;
        if (!facts) {
            if (reader->bytes_read() != offset) return;
            ElementFacts found;
            found.name = name;
            found.at = reader->location();
            for (; attributes != nullptr && attributes[0] != nullptr; attributes += 2) {
                // Namespace declarations are no attributes a field could take.
                const std::string_view attribute = attributes[0];
                if (attribute == "xmlns" || attribute.starts_with("xmlns:")) continue;
                found.attributes.emplace_back(attribute);
            }
            facts = std::move(found);
            depth = 1;
            return;
        }
        if (depth == 1 && facts->children.size() < MAX_CHILD_FACTS) {
            facts->children.push_back(ChildFacts{name, reader->location()});
        }
        ++depth;
    }

    void end() {
        if (done || !facts) return;
        if (--depth == 0) {
            done = true;
            XML_StopParser(reader->handle(), XML_FALSE);
        }
    }
};

}  // namespace

std::optional<ElementFacts> describe_element(std::string_view document,
                                             const ReaderOptions& options, std::uint64_t offset) {
    // Without namespace processing: names come as written, and the byte
    // offsets of start tags are the same either way.
    detail::ExpatReader reader(document, options);
    Lookup lookup;
    lookup.reader = &reader;
    lookup.offset = offset;
    XML_Parser parser = reader.handle();
    XML_SetUserData(parser, &lookup);
    XML_SetElementHandler(parser, &Lookup::on_start, &Lookup::on_end);
    reader.run();
    return std::move(lookup.facts);
}

}  // namespace kestrix
