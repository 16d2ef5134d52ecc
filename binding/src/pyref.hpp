// binding/src/pyref.hpp: an owning reference to a Python object (RAII).
#pragma once

#include "python.hpp"

#include <utility>

namespace kestrix::py {

/// Owns one strong reference, released when the Ref goes. Assignment releases
/// the old object last, so a destructor running Python code sees a consistent
/// Ref. Every Python reference the binding holds lives in one of these.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    /// Takes over a new reference (may be null, as after a failed call).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    /// Adds a reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    /// Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

/// The exception set in this thread, fetched and restored as one unit; used to
/// keep an error across calls that must not see it set.
class SavedError {
public:
    SavedError() { PyErr_Fetch(&type_, &value_, &tb_); }
    ~SavedError() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    /// Sets the error again in this thread.
    void restore() {
        PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

}  // namespace kestrix::py
