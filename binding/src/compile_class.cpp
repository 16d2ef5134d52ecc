// binding/src/compile_class.cpp: compiling a Python class into its schema and
// binding record, and recursive models (classes that refer to classes still
// being compiled).
#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "compiled_class.hpp"
#include "errors.hpp"
#include "model_checks.hpp"
#include "read_class.hpp"
#include "schema_cache.hpp"

namespace kestrix::py {

namespace {

// Recursive models. Each thread keeps the stack of classes it is compiling. A
// field whose class is on the stack refers to that class's unfinished schema.
// A class whose schema (directly or through the classes it compiled) refers to
// an unfinished class below it on the stack cannot be published on its own:
// it is deferred to the lowest such frame and published together with it, once
// everything it points at is complete. A failure anywhere fails every frame
// of the stack, and each discards its own and its deferred records, so no
// published schema ever points at an incomplete or discarded one.

constexpr std::size_t kNoDependency = std::numeric_limits<std::size_t>::max();

// Classes compiled inside one another on one thread, at most. Each level costs
// a few kilobytes of native stack (with the Python calls that read the class),
// and CPython 3.12 and later no longer bound native recursion by the Python
// recursion limit alone: without a bound of our own a chain of some thousands
// of nested classes overflows the stack instead of raising. A document nests
// at most 256 class elements, so deeper chains could never be read anyway.
constexpr std::size_t kMaxCompileDepth = 2000;

struct Frame {
    PyObject* cls;  // borrowed: `record->cls` holds the reference
    std::unique_ptr<CompiledClass> record;
    // Lowest frame index that this class, or anything it compiled, refers to
    // while unfinished; the frame's own index when nothing below it.
    std::size_t low;
    // Finished records waiting for this frame to be published with it.
    std::vector<std::unique_ptr<CompiledClass>> deferred;
};

struct Context {
    std::vector<Frame> frames;
};

// The compilation in progress on this thread, if any. Each compile_class from
// outside (an entry point, or Python code that compile steps run) starts a
// context of its own, so it never sees another compilation's unfinished work.
thread_local Context* t_context = nullptr;

struct ContextScope {
    Context context;
    Context* saved;
    ContextScope() : saved(std::exchange(t_context, &context)) {}
    ~ContextScope() { t_context = saved; }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;
};

// Drops records that will never be published. Their schemas may point at each
// other (a discarded cycle), so their fields are cleared first to break the
// shared-pointer cycles; the error being raised is kept across the releases.
void discard(Frame& frame) {
    SavedError error;
    frame.deferred.push_back(std::move(frame.record));
    for (std::unique_ptr<CompiledClass>& record : frame.deferred) {
        record->schema->fields.clear();
        record->schema->element_index.clear();
        record->schema->attribute_index.clear();
        record->schema->substitutes.clear();
    }
    frame.deferred.clear();
    error.restore();
}

struct Compiled {
    const CompiledClass* record;
    std::size_t dependency;  // frame the record waits for, or kNoDependency
};

// Compiles `cls`, which is neither cached nor on this thread's stack, as a new
// frame of `context`.
Compiled compile_new(Context& context, PyObject* cls) {
    if (context.frames.size() >= kMaxCompileDepth) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while compiling a model class");
        return {nullptr, kNoDependency};
    }
    if (Py_EnterRecursiveCall(" while compiling a model class") != 0) {
        return {nullptr, kNoDependency};
    }
    const std::size_t index = context.frames.size();
    auto record = std::make_unique<CompiledClass>();
    CompiledClass* result = record.get();
    record->cls = Ref::borrow(cls);
    record->schema = std::make_shared<ClassSchema>();
    record->schema->owner = result;
    context.frames.push_back(Frame{cls, std::move(record), index, {}});

    bool ok = fill_record(cls, *result);
    Py_LeaveRecursiveCall();
    if (ok) ok = check_model(cls, *result);

    Frame frame = std::move(context.frames.back());
    context.frames.pop_back();
    if (!ok) {
        discard(frame);
        return {nullptr, kNoDependency};
    }
    if (frame.low < index) {
        // Points at an unfinished class below: wait for it.
        auto& waiting = context.frames[frame.low].deferred;
        waiting.push_back(std::move(frame.record));
        for (auto& deferred : frame.deferred) waiting.push_back(std::move(deferred));
        return {result, frame.low};
    }
    frame.deferred.push_back(std::move(frame.record));
    publish(frame.deferred);
    return {result, kNoDependency};
}

// A record of `cls` that this thread has not published yet: on the stack, or
// deferred to some frame. Sets `dependency` to that frame.
const CompiledClass* unfinished(const Context& context, PyObject* cls, std::size_t& dependency) {
    for (std::size_t i = 0; i < context.frames.size(); ++i) {
        const Frame& frame = context.frames[i];
        if (frame.cls == cls) {
            dependency = i;
            return frame.record.get();
        }
        for (const auto& deferred : frame.deferred) {
            if (deferred->cls.get() == cls) {
                dependency = i;
                return deferred.get();
            }
        }
    }
    return nullptr;
}

}  // namespace

const CompiledClass* compile_class(PyObject* cls) {
    if (const CompiledClass* hit = cached(cls)) return hit;
    ContextScope scope;
    return compile_new(scope.context, cls).record;
}

const CompiledClass* compile_nested_class(PyObject* cls) {
    Context* context = t_context;
    if (context == nullptr || context->frames.empty()) return compile_class(cls);
    if (const CompiledClass* hit = cached(cls)) return hit;
    // The class whose field is being analysed is the top frame; it inherits
    // the dependencies of what it refers to.
    std::size_t dependency = kNoDependency;
    const CompiledClass* record = unfinished(*context, cls, dependency);
    if (record == nullptr) {
        Compiled compiled = compile_new(*context, cls);
        if (compiled.record == nullptr) return nullptr;
        record = compiled.record;
        dependency = compiled.dependency;
    }
    std::size_t& low = context->frames.back().low;
    low = std::min(low, dependency);
    return record;
}

}  // namespace kestrix::py
