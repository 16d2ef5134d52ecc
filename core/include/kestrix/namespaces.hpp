// core/include/kestrix/namespaces.hpp: the namespace layout of a class tree,
// worked out once per root class for namespace-aware reading and writing.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrix/schema.hpp"

namespace kestrix {

/// The URI the prefix `xml` is bound to in every document; it is never declared.
inline constexpr std::string_view XML_NAMESPACE = "http://www.w3.org/XML/1998/namespace";
/// The XML Schema instance URI (`xsi:nil`, `xsi:schemaLocation`).
inline constexpr std::string_view XSI_NAMESPACE = "http://www.w3.org/2001/XMLSchema-instance";
/// The XLink URI (`xlink:href` of SVG and many other vocabularies).
inline constexpr std::string_view XLINK_NAMESPACE = "http://www.w3.org/1999/xlink";

/// How a class tree maps onto namespaces: whether it is namespace-aware at
/// all, which prefixes its classes bind, and the declarations a written
/// document carries on its root element.
struct NamespacePlan {
    /// Some class of the tree declares a namespace, a field namespace or
    /// preferred prefixes: the tree is read and written namespace-aware.
    bool used = false;
    /// Some field of the tree holds QName values: reading keeps the namespace
    /// declarations in scope, and writing may declare prefixes for them.
    bool qnames = false;
    /// Some class of the tree has substitutes (see ClassSchema::substitutes):
    /// reading keeps the namespace declarations in scope to resolve
    /// `xsi:type`, and writing may declare prefixes for it.
    bool substitutions = false;
    /// Some class of the tree has a catch-all field: reading keeps the
    /// namespace declarations in scope to name what it catches, and writing
    /// may declare prefixes for those names.
    bool catch_all = false;
    /// The namespace of the root class's element, declared as the default
    /// namespace of a written document (empty: no default namespace).
    std::string default_ns;
    /// (prefix, URI) pairs declared on the root of a written document: for
    /// each URI the tree's names use, a class's preferred prefix, else the
    /// prefix a field name gives, else a generated `ns0`, `ns1`...; then every
    /// other preferred prefix of the tree's classes.
    std::vector<std::pair<std::string, std::string>> declarations;
    /// (prefix, URI) pairs bound by the tree's classes (the root's first, the
    /// first binding of a prefix winning), then `xsi` and `xlink` unless a
    /// class binds them.
    std::vector<std::pair<std::string, std::string>> bound;
    /// A tree that is not namespace-aware writes names as given; those
    /// prefixed `xsi` or `xlink` are still declared on the root, with their
    /// usual URIs, when the document writes them: these (prefix, URI) pairs,
    /// in the order fields of the tree first use them (empty otherwise).
    std::vector<std::pair<std::string, std::string>> well_known;
    /// Why the tree cannot be written namespace-well-formed (a prefix no class
    /// binds); empty when it can.
    std::string error;

    /// True when the root declares `prefix` for `uri`.
    bool declares(std::string_view prefix, std::string_view uri) const noexcept;
    /// The prefix declared for `uri`, or null when there is none.
    const std::string* prefix_of(std::string_view uri) const noexcept;
    /// The URI a prefixed field name's prefix stands for: `xml`, or a prefix
    /// bound by some class of the tree. Null when nothing binds it.
    std::optional<std::string_view> uri_of(std::string_view prefix) const noexcept;
};

/// Works out the plan of the tree rooted at `root`, whose schemas (and those
/// nested in them) must be complete.
std::shared_ptr<const NamespacePlan> plan_namespaces(const ClassSchema& root);

}  // namespace kestrix
