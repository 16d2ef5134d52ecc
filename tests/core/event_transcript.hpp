// tests/core/event_transcript.hpp: a reader's events written as text, to compare two readers.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "kestrix/attribute_view.hpp"
#include "reader_control.hpp"
#include "reader_events.hpp"

namespace kestrix::detail {

/// Writes the events as one line each; consecutive text pieces are joined,
/// as the binder joins them.
class Transcript final : public ReaderEvents {
public:
    explicit Transcript(bool namespace_events = false) : namespace_events_(namespace_events) {}

    void on_start(const ExpandedName& name, std::span<const AttributeView> attributes,
                  bool empty) noexcept override {
        text_ = false;
        std::string line = "<" + readable(name);
        for (const AttributeView& a : attributes) {
            line += " " + readable(a.name) + "=" + std::string(a.value);
        }
        lines += line + (empty ? "/>\n" : ">\n");
    }
    void on_end() noexcept override {
        text_ = false;
        lines += "end\n";
    }
    void on_text(const char* text, std::size_t length) noexcept override {
        if (!text_) lines += "text:";
        if (text_) lines.pop_back();
        lines.append(text, length);
        lines += "\n";
        text_ = true;
    }
    bool wants_namespace_events() const noexcept override { return namespace_events_; }
    void on_namespace_start(const char* prefix, const char* uri) override {
        text_ = false;
        lines += std::string("ns ") + prefix + "=" + uri + "\n";
    }
    void on_namespace_end(const char* prefix) override {
        text_ = false;
        lines += std::string("ns end ") + prefix + "\n";
    }

    std::string lines;

private:
    /// "uri|local|prefix", leaving out the parts a name has not.
    static std::string readable(const ExpandedName& name) {
        std::string text;
        if (!name.uri.empty()) text.append(name.uri).append("|");
        text.append(name.local);
        if (!name.prefix.empty()) text.append("|").append(name.prefix);
        return text;
    }
    bool namespace_events_;
    bool text_ = false;
};

/// Transcribes the events and suspends the reading after every start tag,
/// and, with `at_every_event`, after every end and text event too.
class Suspending final : public ReaderEvents {
public:
    Suspending(ReaderControl& reader, bool at_every_event)
        : reader_(reader), every_(at_every_event) {}

    void on_start(const ExpandedName& n, std::span<const AttributeView> a,
                  bool e) noexcept override {
        inner.on_start(n, a, e);
        reader_.stop(true);
    }
    void on_end() noexcept override {
        inner.on_end();
        if (every_) reader_.stop(true);
    }
    void on_text(const char* t, std::size_t n) noexcept override {
        inner.on_text(t, n);
        if (every_) reader_.stop(true);
    }
    bool wants_namespace_events() const noexcept override { return false; }
    void on_namespace_start(const char*, const char*) override {}
    void on_namespace_end(const char*) override {}

    Transcript inner;

private:
    ReaderControl& reader_;
    bool every_;
};

}  // namespace kestrix::detail
