// binding/src/released_lock.hpp: the interpreter lock released for a stretch of
// work that touches no Python object.
#pragma once

#include "python.hpp"

namespace kestrix::py {

/// Releases the interpreter lock for as long as it lives and takes it back on
/// every path out, so other Python threads run meanwhile. Nothing Python may
/// be touched while it lives: no object, no reference count, no exception.
/// Constructed with the lock held.
class ReleasedLock {
public:
    ReleasedLock() noexcept : saved_(PyEval_SaveThread()) {}
    ~ReleasedLock() { PyEval_RestoreThread(saved_); }
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

private:
    PyThreadState* saved_;
};

}  // namespace kestrix::py
