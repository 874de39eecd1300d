#pragma once
// The edge between C++ and Python: owned Python references, and the one place where C++
// exceptions end. A fatal stop becomes pyo3_runtime.PanicException, an interruption returns
// the KeyboardInterrupt that Python already holds; nothing else may unwind into Python.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "lib/run_script.h"
#include "utils/fatal.h"

#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

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

// How a run ended. It is decided, and a stop reported on standard error, while the run is
// still without the interpreter lock; `outcome_result` turns it into Python's result once the
// lock is held again.
struct Outcome {
    enum Kind { Finished, Stopped, Interrupted } kind = Finished;
    StopText message; // a stop's message
    std::source_location where;
    bool located = false; // whether `where` names the raise site
    int output_error = 0; // errno of the first failed write of the run's output, 0 if none
};

// Writes the diagnostic block of a stop to standard error, with a note when output was lost.
// Allocates nothing, so it works when memory has run out.
// With the run's report, the block also says where in the script the stop happened.
void report_stop(const Outcome& stop, const RunReport* report = nullptr);

// Runs `body`, which must not touch Python, and records how it ended; no C++ exception gets
// past it except the unwinding that ends a thread when Python shuts down under a running
// script (it must reach the thread's start, and nothing on the way may be noexcept or catch
// everything). The body flushes its output before a stop leaves it, and stores the errno of a
// failed write in `output_error`, which the report of a stop (`report_stop`, by the caller)
// reads.
//
// Handlers of a named type never see that unwinding. libstdc++ shows it to `catch (...)` as
// abi::__forced_unwind, which is sent on; libc++abi shows it to `catch (...)` as a foreign
// exception that a rethrow cannot send on, so there the last handler takes std::exception,
// the base of everything the interpreter throws besides its own two types.
template <class F> Outcome contained(F&& body, const int& output_error) {
    Outcome o;
    try {
        body();
        return o;
    }
#ifdef __GLIBCXX__
    catch (abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (Fatal& f) {
        o.kind = Outcome::Stopped;
        o.message = f.take_message();
        o.where = f.where();
        o.located = true;
    } catch (const Interrupted&) {
        o.kind = Outcome::Interrupted;
    } catch (const std::bad_alloc&) {
        o.kind = Outcome::Stopped;
        o.message = "out of memory";
    } catch (const std::length_error&) {
        o.kind = Outcome::Stopped;
        o.message = "out of memory";
    } catch (const std::exception&) {
        o.kind = Outcome::Stopped;
        o.message = "internal error"; // short enough to need no allocation
    }
#ifdef __GLIBCXX__
    catch (...) {
        o.kind = Outcome::Stopped;
        o.message = "internal error";
    }
#endif
    o.output_error = output_error;
    return o;
}

// None after a finished run; null with the PanicException set after a stop, or with the host's
// own exception (KeyboardInterrupt) after an interruption.
PyObject* outcome_result(const Outcome& o);

// For entry points that hold the interpreter lock throughout: runs `body`, which returns a new
// reference or null with a Python error set, and turns a C++ exception into a Python error.
template <class F> PyObject* guarded(F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
    }
}

} // namespace tarn
