// binding/src/collector_pause.hpp: the cyclic collector paused while one result
// graph is built.
#pragma once

#include "python.hpp"

namespace kestrix::py {

/// Pauses the cyclic garbage collector for as long as it lives; place one
/// around the building of one result graph (a document, an iterparse record).
///
/// Every object a build creates is alive until the build returns it, so the
/// collections its allocations would trigger walk an ever larger graph and
/// find nothing to free. Builds may overlap (threads switching inside a
/// constructor, a constructor that calls kestrix itself), so the pause is
/// process-wide and counted: the first build to begin disables the collector
/// only if it is enabled, and the last one to end enables it again only if
/// that first build disabled it. A collector the caller disabled stays
/// disabled throughout and after. Constructed and destroyed with the
/// interpreter lock held, which also guards the count; never held across a
/// release of the lock by our own code.
///
/// User code run during a build (a constructor, `__post_init__`, a validator)
/// may call `gc.enable()`: collections resume at once, and the collector is
/// left enabled when the builds end. A `gc.disable()` from such code while the
/// builds hold the collector paused cannot be told apart from the pause itself;
/// the collector ends as it was when the first build began. Builds in a second
/// interpreter of the process, while builds of another are active, run
/// without a pause, since each interpreter has a collector of its own.
class CollectorPause {
public:
    CollectorPause() noexcept;
    ~CollectorPause();
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool counted_;  ///< this build is one of the active builds
};

}  // namespace kestrix::py
