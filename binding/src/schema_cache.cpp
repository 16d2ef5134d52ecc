// binding/src/schema_cache.cpp: the process-wide SchemaCache of compiled
// classes, keyed by class address.
#include "schema_cache.hpp"

#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "kestrix/namespaces.hpp"

namespace kestrix::py {

namespace {

// record replaced by a racing thread's record for the same class moves to
// `retired`, because schemas compiled meanwhile may point at it. The cache
// itself is never destroyed either, so no Python reference is released after
// the interpreter has gone at process exit.

struct SchemaCache {
    std::shared_mutex mutex;
    std::unordered_map<const PyObject*, const CompiledClass*> entries;
    std::vector<const CompiledClass*> retired;
};

SchemaCache& schema_cache() {
    static SchemaCache* cache = new SchemaCache;
    return *cache;
}

}  // namespace

const CompiledClass* cached(PyObject* cls) {
    SchemaCache& cache = schema_cache();
    std::shared_lock lock(cache.mutex);
    auto it = cache.entries.find(cls);
    return it == cache.entries.end() ? nullptr : it->second;
}

// Publishes every record of `group` under one exclusive lock; from here on
// they belong to the cache.
void publish(std::vector<std::unique_ptr<CompiledClass>>& group) {
    // Every schema the group reaches is complete now: each class's namespace
    // layout, as the root of a tree, is worked out once here.
    for (std::unique_ptr<CompiledClass>& record : group) {
        record->schema->namespaces = plan_namespaces(*record->schema);
    }
    SchemaCache& cache = schema_cache();
    std::unique_lock lock(cache.mutex);
    for (std::unique_ptr<CompiledClass>& record : group) {
        const CompiledClass*& slot = cache.entries[record->cls.get()];
        if (slot != nullptr) cache.retired.push_back(slot);
        slot = record.release();
    }
    group.clear();
}

}  // namespace kestrix::py
