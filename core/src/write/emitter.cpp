// core/src/write/emitter.cpp: the XML text of a Value::Object tree: a whole
// document, or one element into a writer the caller holds.
#include "kestrix/emitter.hpp"

#include <optional>
#include <string>

#include "element_names.hpp"
#include "kestrix/namespaces.hpp"
#include "tree_writer.hpp"

namespace kestrix {

using detail::NamespacedNames;
using detail::PlainNames;
using detail::QNamePrefixes;
using detail::TreeWriter;
using detail::WellKnownNames;

Status write_element(XmlWriter& writer, std::string_view name, const Value& value,
                     const ClassSchema& schema) {
    const NamespacePlan* plan = schema.namespaces.get();
    if (plan == nullptr || !plan->catch_all) {
        return TreeWriter<PlainNames>(writer, PlainNames{}).element(name, value, schema);
    }
    // Caught names declare their prefixes on the element itself.
    QNamePrefixes prefixes(*plan);
    const std::size_t start = writer.size();
    Status s = TreeWriter<PlainNames>(writer, PlainNames{}, &prefixes).element(name, value, schema);
    if (s) prefixes.finish(writer, writer.name_end(start));
    return s;
}

Status write_root(XmlWriter& writer, std::string_view root_name, const Value& root,
                  const ClassSchema& schema) {
    const NamespacePlan* plan = schema.namespaces.get();
    // QName values may need prefixes no name uses: declared once written.
    std::optional<QNamePrefixes> qnames;
    if (plan != nullptr && (plan->qnames || plan->substitutions || plan->catch_all)) {
        qnames.emplace(*plan);
    }
    QNamePrefixes* const values = qnames ? &*qnames : nullptr;
    const std::size_t start = writer.size();
    Status s;
    if (schema.namespace_aware()) {
        if (!plan->error.empty()) return BindError::serialization(plan->error);
        const NamespacedNames::Place place{
            schema.ns ? std::string_view(*schema.ns) : std::string_view(), root_name, {}, true};
        s = TreeWriter<NamespacedNames>(writer, NamespacedNames(*plan), values)
                .element(place, root, schema);
    } else if (plan == nullptr || plan->well_known.empty()) {
        s = TreeWriter<PlainNames>(writer, PlainNames{}, values).element(root_name, root, schema);
    } else {
        TreeWriter<WellKnownNames> tree(writer, WellKnownNames(*plan), values);
        s = tree.element(root_name, root, schema);
        if (s) tree.names().finish(writer);
    }
    if (s && values != nullptr) values->finish(writer, writer.name_end(start));
    return s;
}

Result<std::string> write_document(std::string_view root_name, const Value& root,
                                   const ClassSchema& schema, const WriteOptions& options) {
    XmlWriter writer(options);
    Status s = write_root(writer, root_name, root, schema);
    if (!s) return std::move(s).error();
    return writer.take();
}

Result<std::string> write_document(std::string_view root_name, const Value& root,
                                   const ClassSchema& schema, std::optional<std::uint64_t> indent) {
    return write_document(root_name, root, schema, WriteOptions{indent});
}

}  // namespace kestrix
