#pragma once
// The edge between C++ and Python: owned Python references, and the one place where C++
// exceptions end. A fatal stop becomes pyo3_runtime.PanicException, an interruption returns
// the KeyboardInterrupt that Python already holds; nothing else may unwind into Python.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>
#include <new>
#include <source_location>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "utils/fatal.h"

namespace tarn {

// One owned (strong) Python reference, released on destruction.
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* p) : p_(p) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Flushes standard output, writes the diagnostic block to standard error and sets the
// PanicException carrying `message`. `where` is null when the raise site is unknown.
// Always returns null, the C API's error result.
PyObject* raise_stop(std::string_view message, const std::source_location* where);

// The host asked the run to stop; its exception (KeyboardInterrupt) is already set.
PyObject* return_interrupted();

// Runs `body`, which returns a new reference or null with a Python error set, and turns any
// C++ exception that escapes it into the matching Python error. The one exception let
// through is the unwinding that ends a thread when Python shuts down under a running script
// (a daemon thread taking the interpreter lock back at a poll): it must reach the thread's
// start, and nothing on the way may be noexcept.
template <class F> PyObject* guarded(F&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const Fatal& f) {
        return raise_stop(f.message(), &f.where());
    } catch (const Interrupted&) {
        return return_interrupted();
    } catch (const std::bad_alloc&) {
        return raise_stop("out of memory", nullptr);
    } catch (const std::length_error&) {
        return raise_stop("out of memory", nullptr);
    } catch (const std::exception& e) {
        return raise_stop(e.what(), nullptr);
    } catch (...) {
        return raise_stop("unknown native exception", nullptr);
    }
}

} // namespace tarn
