// binding/src/released_lock.hpp: the interpreter lock released for a stretch of
// work that touches no Python object.
#pragma once

#include "python.hpp"

#include <cstddef>

namespace kestrix::py {

/// Input of this many bytes and more is read with the interpreter lock
/// released, so that other threads run Python (or read input of their own)
/// meanwhile. Taking the lock back costs little alone, but while another
/// thread runs Python it may take up to a switch interval (5 ms by default):
/// reading 256 KiB takes about 3 to 5 ms, so smaller input keeps the lock
/// rather than risk a wait longer than its whole read.
constexpr std::size_t RELEASE_LOCK_FROM = 256 * 1024;

/// Releases the interpreter lock for as long as it lives, when the input about
/// to be read is `input_size` bytes or more (RELEASE_LOCK_FROM), and takes it
/// back on every path out, so other Python threads run meanwhile. Nothing
/// Python may be touched while it lives: no object, no reference count, no
/// exception. Constructed with the lock held.
class ReleasedLock {
public:
    explicit ReleasedLock(std::size_t input_size) noexcept
        : saved_(input_size >= RELEASE_LOCK_FROM ? PyEval_SaveThread() : nullptr) {}
    ~ReleasedLock() {
        if (saved_ != nullptr) PyEval_RestoreThread(saved_);
    }
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

private:
    PyThreadState* saved_;  ///< null when the lock was kept
};

}  // namespace kestrix::py
