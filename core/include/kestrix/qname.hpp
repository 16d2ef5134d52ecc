// core/include/kestrix/qname.hpp: QName values: the namespace declarations in
// scope while a document is read, and prefixed names resolved through them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrix/error.hpp"
#include "kestrix/value.hpp"

namespace kestrix {

/// The namespace declarations in scope at the current point of a document,
/// innermost last. The prefix `xml` is always bound.
class InScopeNamespaces {
public:
    /// Binds `prefix` ("" for the default namespace) to `uri` ("" undeclares
    /// the default) for the element at `depth` and its content.
    void declare(std::string_view prefix, std::string_view uri, std::uint64_t depth);
    /// Ends the declarations of the element at `depth`.
    void end_element(std::uint64_t depth) noexcept;
    /// Ends the innermost declaration of `prefix`.
    void end_prefix(std::string_view prefix) noexcept;
    /// The URI `prefix` stands for ("" for the default namespace, which may be
    /// empty); nothing when it is bound to none.
    std::optional<std::string_view> resolve(std::string_view prefix) const noexcept;
    void clear() noexcept { bindings_.clear(); }
    /// Calls `visit(prefix, uri)` for each declaration in scope, outermost
    /// first (a later one of a prefix hides the earlier ones).
    template <class Visit>
    void each(Visit&& visit) const {
        for (const Binding& binding : bindings_) visit(binding.prefix, binding.uri);
    }

private:
    struct Binding {
        std::string prefix;
        std::string uri;
        std::uint64_t depth;
    };
    std::vector<Binding> bindings_;
};

/// Reads the QName `text` (whitespace around it ignored) through `scope`
/// (null: only `xml` is bound, and the default namespace is none): a
/// Value::Str in `{uri}local` form, or just `local` in no namespace. An
/// unprefixed name takes the default namespace. Fails with ScalarParse,
/// naming `field_name`, for a text that is no QName or whose prefix is bound
/// to nothing.
Result<Value> parse_qname(std::string_view text, const InScopeNamespaces* scope,
                          std::string_view field_name, Arena& arena);

/// A QName value's parts, from its `{uri}local` or `local` form.
struct ClarkName {
    std::string_view uri;
    std::string_view local;
};

/// Splits `text`; nothing when it is not `{uri}local` or `local` with a local
/// name that is not empty and has no colon.
std::optional<ClarkName> split_clark(std::string_view text) noexcept;

}  // namespace kestrix
