// core/src/write/namespaces.cpp: plan_namespaces, the prefixes and declarations of a class tree.
#include "kestrix/namespaces.hpp"

#include <set>
#include <string>

namespace kestrix {

namespace {

/// Every class reachable from `root`, each once, in depth-first field order.
std::vector<const ClassSchema*> classes_of(const ClassSchema& root) {
    std::vector<const ClassSchema*> order{&root};
    std::set<const ClassSchema*> seen{&root};
    for (std::size_t next = 0; next < order.size(); ++next) {
        const auto reach = [&](const FieldSchema& field) {
            const TypeDesc* type = &field.type;
            if (type->is_list()) type = &type->item();
            if (!type->is_nested()) return;
            const ClassSchema* nested = &type->schema();
            if (seen.insert(nested).second) order.push_back(nested);
        };
        for (const FieldSchema& field : order[next]->fields) {
            reach(field);
            for (const FieldSchema& member : field.choices) reach(member);
        }
        for (const Substitute& substitute : order[next]->substitutes) {
            const ClassSchema* nested = &substitute.type.schema();
            if (seen.insert(nested).second) order.push_back(nested);
        }
    }
    return order;
}

/// True for a field (or a choice member) whose values are QNames, which
/// are resolved through the declarations in scope when read.
bool holds_qnames(const FieldSchema& field) noexcept {
    const TypeDesc& type = field.type.is_list() ? field.type.item() : field.type;
    return type.is_scalar() && type.scalar_kind() == ScalarKind::QName;
}

/// One namespace URI the tree writes, and how it is used.
struct UsedUri {
    std::string uri;
    bool by_attribute = false;
    std::string hint;  ///< the prefix a field name wrote it under, if any
};

class Planner {
public:
    Planner(const ClassSchema& root, NamespacePlan& plan) : root_(root), plan_(plan) {}

    void run() {
        const std::vector<const ClassSchema*> classes = classes_of(root_);
        for (const ClassSchema* schema : classes) {
            if (schema->declares_namespaces) plan_.used = true;
            if (!schema->substitutes.empty()) plan_.substitutions = true;
            if (schema->any_elements || schema->any_attributes) plan_.catch_all = true;
            for (const FieldSchema& field : schema->fields) {
                if (holds_qnames(field)) plan_.qnames = true;
                for (const FieldSchema& member : field.choices) {
                    if (holds_qnames(member)) plan_.qnames = true;
                }
            }
        }
        if (!plan_.used) {
            note_well_known(classes);
            return;
        }
        for (const ClassSchema* schema : classes) {
            for (const auto& [prefix, uri] : schema->prefixes) bind(prefix, uri);
        }
        const std::size_t preferred = plan_.bound.size();
        bind("xsi", std::string(XSI_NAMESPACE));
        bind("xlink", std::string(XLINK_NAMESPACE));
        const std::string root_ns = root_.ns.value_or(std::string());
        // A root written with a prefix of its own leaves the default
        // namespace undeclared.
        if (root_.element_prefix.empty()) plan_.default_ns = root_ns;
        visit(root_, root_ns);
        assign_prefixes();
        // Every preferred prefix is declared, used by a name or not: values
        // (QNames, XPath expressions) may refer to it.
        for (std::size_t i = 0; i < preferred; ++i) {
            const auto& [prefix, uri] = plan_.bound[i];
            if (!taken(prefix)) plan_.declarations.emplace_back(prefix, uri);
        }
    }

private:
    /// The well-known prefixes the names of a plain tree use (see
    /// NamespacePlan::well_known).
    void note_well_known(const std::vector<const ClassSchema*>& classes) {
        for (const ClassSchema* schema : classes) {
            for (const FieldSchema& field : schema->fields) {
                if (field.role == FieldRole::Text) continue;
                if (field.nillable) note_well_known("xsi");  // it writes xsi:nil
                note_well_known(field.prefix());
            }
        }
    }

    void note_well_known(std::string_view prefix) {
        std::string_view uri;
        if (prefix == "xsi") {
            uri = XSI_NAMESPACE;
        } else if (prefix == "xlink") {
            uri = XLINK_NAMESPACE;
        } else {
            return;
        }
        for (const auto& entry : plan_.well_known) {
            if (entry.first == prefix) return;
        }
        plan_.well_known.emplace_back(prefix, uri);
    }

    void bind(const std::string& prefix, const std::string& uri) {
        for (const auto& entry : plan_.bound) {
            if (entry.first == prefix) return;
        }
        plan_.bound.emplace_back(prefix, uri);
    }

    /// The URI of `field` inside an element in `context`; null (with the
    /// plan's error set) when its prefix is bound nowhere.
    std::optional<std::string> uri_of(const ClassSchema& schema, const FieldSchema& field,
                                      const std::string& context) {
        switch (field.ns_rule) {
            case NsRule::Fixed:
                return field.ns;
            case NsRule::Inherit:
                return field.role == FieldRole::Element ? context : std::string();
            case NsRule::AnyPrefix:
                break;
        }
        if (auto uri = plan_.uri_of(field.prefix())) return std::string(*uri);
        if (plan_.error.empty()) {
            plan_.error = "the prefix '" + std::string(field.prefix()) + "' of field '" +
                          field.name + "' of " + schema.name +
                          " is bound to no namespace URI: declare it in the prefixes of a "
                          "class of the tree, or give the field a namespace";
        }
        return std::nullopt;
    }

    void note(const std::string& uri, bool by_attribute, std::string_view hint) {
        if (uri.empty() || uri == XML_NAMESPACE) return;
        for (UsedUri& used : used_) {
            if (used.uri != uri) continue;
            used.by_attribute = used.by_attribute || by_attribute;
            if (used.hint.empty()) used.hint = hint;
            return;
        }
        used_.push_back(UsedUri{uri, by_attribute, std::string(hint)});
    }

    /// Notes the URIs of the fields of `schema` read inside an element in `context`.
    void visit(const ClassSchema& schema, const std::string& context) {
        if (!visited_.emplace(&schema, context).second) return;
        note(context, false, {});
        for (const FieldSchema& field : schema.fields) {
            if (field.role == FieldRole::Choice) {
                for (const FieldSchema& member : field.choices)
                    visit_field(schema, member, context);
            } else {
                visit_field(schema, field, context);
            }
        }
        // A subclass written in place of the class: its fields in the same context.
        for (const Substitute& substitute : schema.substitutes) {
            visit(substitute.type.schema(), context);
        }
    }

    /// Notes the URI of one field (or choice member) of `schema`, and of what it holds.
    void visit_field(const ClassSchema& schema, const FieldSchema& field,
                     const std::string& context) {
        if (field.role == FieldRole::Text || field.role == FieldRole::AnyElements ||
            field.role == FieldRole::AnyAttributes)
            return;
        std::optional<std::string> uri = uri_of(schema, field, context);
        if (!uri) return;
        note(*uri, field.role == FieldRole::Attribute, field.prefix());
        if (field.role != FieldRole::Element) return;
        const TypeDesc* type = &field.type;
        if (type->is_list()) type = &type->item();
        if (type->is_nested()) visit(type->schema(), *uri);
    }

    bool taken(std::string_view prefix) const {
        for (const auto& entry : plan_.declarations) {
            if (entry.first == prefix) return true;
        }
        return false;
    }

    void assign_prefixes() {
        std::size_t generated = 0;
        for (const UsedUri& used : used_) {
            // Elements of the default namespace go unprefixed; an attribute in
            // it still needs a prefix, since the default does not reach attributes.
            if (used.uri == plan_.default_ns && !used.by_attribute) continue;
            std::string prefix;
            for (const auto& [bound_prefix, uri] : plan_.bound) {
                if (uri == used.uri && !taken(bound_prefix)) {
                    prefix = bound_prefix;
                    break;
                }
            }
            if (prefix.empty() && !used.hint.empty() && used.hint != "xml" &&
                used.hint != "xmlns" && !taken(used.hint)) {
                prefix = used.hint;
            }
            while (prefix.empty() || taken(prefix)) prefix = "ns" + std::to_string(generated++);
            plan_.declarations.emplace_back(std::move(prefix), used.uri);
        }
    }

    const ClassSchema& root_;
    NamespacePlan& plan_;
    std::vector<UsedUri> used_;
    std::set<std::pair<const ClassSchema*, std::string>> visited_;
};

}  // namespace

bool NamespacePlan::declares(std::string_view prefix, std::string_view uri) const noexcept {
    for (const auto& [declared_prefix, declared] : declarations) {
        if (declared_prefix == prefix) return declared == uri;
    }
    return false;
}

const std::string* NamespacePlan::prefix_of(std::string_view uri) const noexcept {
    for (const auto& [prefix, declared] : declarations) {
        if (declared == uri) return &prefix;
    }
    return nullptr;
}

std::optional<std::string_view> NamespacePlan::uri_of(std::string_view prefix) const noexcept {
    if (prefix == "xml") return XML_NAMESPACE;
    for (const auto& [bound_prefix, uri] : bound) {
        if (bound_prefix == prefix) return std::string_view(uri);
    }
    return std::nullopt;
}

std::shared_ptr<const NamespacePlan> plan_namespaces(const ClassSchema& root) {
    auto plan = std::make_shared<NamespacePlan>();
    Planner(root, *plan).run();
    return plan;
}

}  // namespace kestrix
